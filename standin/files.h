// The stand-in's files, by narrow (ANSI code page) names, and its waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zrq {

bool ReadWholeFile(const std::string& path, std::string& contents);
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size);
// `path` becomes a second name of `existing`: no bytes are copied.
bool LinkFile(const std::string& existing, const std::string& path);
// The file named by ZRQ_STANDIN_RECORD, which receives every record first of all; empty when unset.
std::string RecordPathFromEnvironment();
void SleepMilliseconds(std::uint32_t ms);

}  // namespace zrq
