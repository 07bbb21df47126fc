// Helpers shared by the benchmark tools (product_bench, product_warm) and,
// through product_warm --median and --processor, by the scripts.
#pragma once

#include <string>
#include <vector>

// The median of values: the middle one, or the mean of the two middle ones
// for an even count; -1 when there are none.
double median(std::vector<double> values);

// The processor's name: "model name" of cpuinfo (/proc/cpuinfo when
// cpuinfo_path is nullptr) on x86; on aarch64, whose /proc/cpuinfo has none,
// lscpu's "Model name" (lscpu knows the part numbers of ARM designs; asked
// only for the real /proc/cpuinfo), else the implementer and part codes of
// the first processor: "ARM implementer 0x41, part 0xd0c". "unknown
// processor" when there is none of these.
std::string processor_name(const char* cpuinfo_path = nullptr);

// text as one word of a command line of /bin/sh (popen), whatever it holds:
// in single quotes, each single quote of it written as '\''.
std::string shell_quoted(const std::string& text);
