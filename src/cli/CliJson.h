// The values of a --json listing line that are not plain numbers or names: a Unix mode
// and a UTC time, each as a JSON literal (a string, or null when the entry has none).
#pragma once

#include "qvrZipRecords.h"

#include <cstdint>
#include <string>

// "0644": the permission bits of Mode in octal (setuid, setgid and sticky included);
// null for 0, the mode of an entry whose writer stored none.
std::string JsonUnixMode(uint32_t Mode);

// "2020-06-15T13:45:10Z"; null when Time is not set.
std::string JsonUtcTime(const TUtcTime& Time);
