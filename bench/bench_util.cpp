#include "bench_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The value after the colon of a "key : value" line, without the newline.
std::string value_of(const char* line) {
    const char* colon = std::strchr(line, ':');
    if (colon == nullptr) return "";
    std::string value = colon + 1;
    value.erase(0, value.find_first_not_of(" \t"));
    if (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

// The first line of command's output that starts with key, as value_of gives
// it; empty when there is none or the command cannot run.
std::string first_value_from(const char* command, const char* key) {
    std::FILE* out = popen(command, "r");
    if (out == nullptr) return "";
    std::string value;
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr)
        if (value.empty() && std::strncmp(line, key, std::strlen(key)) == 0) value = value_of(line);
    pclose(out);
    return value;
}

}  // namespace

double median(std::vector<double> values) {
    if (values.empty()) return -1.0;
    std::sort(values.begin(), values.end());
    const size_t k = values.size() / 2;
    return values.size() % 2 ? values[k] : (values[k - 1] + values[k]) / 2;
}

std::string processor_name(const char* cpuinfo_path) {
    std::FILE* f = std::fopen(cpuinfo_path != nullptr ? cpuinfo_path : "/proc/cpuinfo", "r");
    std::string name, implementer, part;
    if (f != nullptr) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr && name.empty()) {
            if (std::strncmp(line, "model name", 10) == 0) name = value_of(line);
            if (std::strncmp(line, "CPU implementer", 15) == 0 && implementer.empty())
                implementer = value_of(line);
            if (std::strncmp(line, "CPU part", 8) == 0 && part.empty()) part = value_of(line);
        }
        std::fclose(f);
    }
    if (name.empty() && cpuinfo_path == nullptr)
        name = first_value_from("lscpu 2>/dev/null", "Model name:");
    if (name.empty() && !implementer.empty())
        name = "ARM implementer " + implementer + ", part " + part;
    return name.empty() ? "unknown processor" : name;
}

std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}
