// Message boxes where nobody can see them.
#pragma once

#include <windows.h>

namespace faxjob {

/// True unless the process's window station is known to be invisible (a service's, a task's run
/// without a logged-on user), where a box would wait for good.
bool WindowStationIsVisible(HMODULE user32);

/// On a window station that nobody sees, makes every message box of `user32` (null: not loaded)
/// answer at once with its default button, whoever shows it and however it found the function:
/// the functions themselves lead to the answer. On a visible one, boxes stay as they are.
void AnswerBoxesAtOnce(HMODULE user32);

}  // namespace faxjob
