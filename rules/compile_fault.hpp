#pragma once

#include <string>

// Compiles `expression` with the shared flow expression parser against an empty flow. Returns
// the parser's fault when the text does not compile, else empty: a fault of evaluation alone
// (a field the empty flow lacks) is no fault of the text.
std::string tfaCompileFault(const std::string &expression);
