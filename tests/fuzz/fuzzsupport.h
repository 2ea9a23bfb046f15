#pragma once

// What every fuzz target needs around the code under test.
namespace fuzzsupport {
// Creates the application object once and silences Qt's messages: the code under test logs
// every rejected input, and a fuzzer feeds it millions of them.
void setUp();
// Reports a broken invariant as a crash, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char *what);
}  // namespace fuzzsupport
