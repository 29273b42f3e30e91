// What each status the shell can meet means, in English, with a remedy: one
// line shown after the library's (or the server's) own text, which is shown
// unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra_shell {

// What an explanation may name.
struct ExplainContext {
  std::string address;  // the server address as given to the client ("127.0.0.1:3001")
};

// One entry of the table. The text may hold {address} (with the default port
// when none was given) and {reason} (the system's text for the number the
// library put in parentheses, "Connection refused").
struct Explanation {
  std::int32_t status;
  std::string_view text;
};

// Every status the shell has an explanation for: the client's -1 to -15 and
// the reference server's statuses, negated as the client returns them.
const std::vector<Explanation>& explanationTable();

// The line for `status`, its placeholders filled from `libraryText` and
// `context`. A server status outside the table gets a line of its kind (an
// SQL error: -2000 to -2099; any other).
std::string explainStatus(std::int32_t status, std::string_view libraryText, const ExplainContext& context);

}  // namespace lumbra_shell
