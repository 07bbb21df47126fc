// Running the built bank and reading what it prints, for the bank test files.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

// The tests expect the console colours: a NO_COLOR of the caller's would
// turn them off in the bank and the bank log alike.
inline const bool COLOURS_ON = unsetenv("NO_COLOR") == 0;

inline const std::string STARS =
    "    *********************************************************   \n";

// The final report for the given balances.
inline std::string report(const std::vector<double>& balances) {
    std::string text = STARS;
    for (int acc = 0; acc < 16; ++acc) {
        char line[512];  // room for the largest balance a double holds
        snprintf(line, sizeof line,
                 "Account %2d balance after completion of transaction batch: %9.2f\n", acc,
                 balances[acc]);
        text += line;
    }
    return text + STARS;
}

// Runs the built bank with these arguments in directory dir.
inline run_result bank(std::vector<std::string> args, const std::string& dir) {
    args.insert(args.begin(), BANK_PATH);
    return run_program(args, dir);
}

// The numbers of a console line in order, colour sequences skipped.
inline std::vector<double> numbers_of(std::string line) {
    for (size_t esc; (esc = line.find('\033')) != std::string::npos;)
        line.erase(esc, line.find('m', esc) - esc + 1);
    std::vector<double> numbers;
    for (const char* p = line.c_str(); *p != '\0'; ++p) {
        if (!isdigit(*p) && !(*p == '-' && isdigit(p[1]))) continue;
        char* end;
        numbers.push_back(strtod(p, &end));
        p = end - 1;
    }
    return numbers;
}
