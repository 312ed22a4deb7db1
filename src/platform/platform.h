// The one interface between the program and the operating system, in parts
// by concern: its files (files.h), its text and code page (text.h), its
// process and the fax library (process.h). Every call the core makes to the
// OS goes through one of them, so tests can replace any part with an
// in-memory one that refuses what the OS refuses and fails any call on
// demand. Code takes only the parts it uses.
#pragma once

#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace faxjob {

/// The platform: the sum of its parts, each owned by whoever made it (the entry point, a test)
/// for as long as the run lasts.
struct Platform {
  Files& files;
  Text& text;
  Process& process;
};

}  // namespace faxjob
