#pragma once

#include <map>
#include <string>

// Removes leading (td_ltrim), trailing (td_rtrim) or both (td_trim) runs of `ch` from `text`, in
// place. A `ch` of 0 means white space as isspace() knows it.
void td_ltrim(std::string &text, unsigned char ch = 0);
void td_rtrim(std::string &text, unsigned char ch = 0);
void td_trim(std::string &text, unsigned char ch = 0);

// Copies `input` to `output`, replacing each ${name} whose name is in `vars` with its value.
// Replacement texts are not scanned again; an unknown name, or a "${" without its "}", is copied
// as it stands.
void td_expand_variables(const std::string &input, std::string &output,
                         const std::map<std::string, std::string> &vars);
