// An in-memory platform for the core's unit tests: each part of the platform
// in memory (fake_files.h, fake_text.h, fake_process.h), over one state
// (fake_state.h). It refuses what Windows refuses, and any of its calls can be
// made to fail, once or from then on.
#pragma once

#include <string>
#include <string_view>

#include "fake_files.h"
#include "fake_process.h"
#include "fake_state.h"
#include "fake_text.h"
#include "platform/platform.h"

namespace faxjob::testing {

class FakePlatform {
 public:
  FakePlatform();
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;
  ~FakePlatform();

  FakeWorld world;
  FakeFaults faults;
  FakeObserved observed;

  FakeFiles files{*this};
  FakeText text{*this};
  FakeProcess process{*this};

  // Where the run takes the whole platform.
  operator Platform() { return {files, text, process}; }

  // Counts a platform call and raises the injected failure when it is due; a step (a moment
  // inside a call, where the process may end but which cannot fail by itself) raises nothing.
  void Call(const char* operation);
  static bool IsStep(std::string_view operation);

  // What a processor fault does now: the exit status and the files the process leaves. The
  // run's own view of the files stays as it was.
  ProcessEnd SimulateFault() const;
  // The library ends the process by a route that nothing redirects (found by GetProcAddress).
  // On Windows ExitProcess still calls the program's TLS callback with the process's detach once
  // every other thread has ended, and the fault path records there as for a fault (Wine calls
  // no such callback); TerminateProcess calls nothing: the library's status, the files as left.
  enum class UnseenEnd { kExitProcess, kTerminateProcess };
  ProcessEnd SimulateUnseenEnd(UnseenEnd route, int status) const;

  // The platform of the test that is running, for library stand-ins.
  static FakePlatform* current;
};

}  // namespace faxjob::testing
