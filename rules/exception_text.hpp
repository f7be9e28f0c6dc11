#pragma once

#include <string>

// The text of the exception being handled; call it only inside a catch block. Configuration
// faults arrive as tdException, the flow parser's and the criteria's as plain strings, the JSON
// library's as standard exceptions: each is described by its own text, anything else as
// "unknown exception".
std::string tfaExceptionText();
