// Reading session SQL for PostgreSQL: statements split at ';', their first word, PARM names bound as $n.
//
// The scanner knows PostgreSQL's lexical forms that may hold a ';' or a ':'
// without meaning one: '...' literals (E'...' with backslash escapes),
// "..." identifiers, $tag$...$tag$ bodies, -- and (nested) /* */ comments,
// and the '::' of a cast.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumbra::server::pg {

// The statements of `sql`, split at each ';' outside literals, identifiers,
// bodies and comments; statements of only blanks and comments are left out.
std::vector<std::string_view> splitStatements(std::string_view sql);

// The statement's first word, upper-cased ("" when it begins otherwise).
std::string leadingWord(std::string_view statement);

// Whether `word` (upper case) stands in the statement as a word of its own,
// outside literals, identifiers and comments.
bool holdsWord(std::string_view statement, std::string_view word);

// A statement PostgreSQL gets for `statement`: each ":NAME" outside literals,
// identifiers, bodies and comments (not the '::' of a cast) becomes "$k", the
// k-th name of `names` (upper-cased, each once). With `blobPlace`, the first
// '?' becomes a parameter too, numbered `blobIndex` (0 when there is none).
std::string bindNames(std::string_view statement, std::vector<std::string>& names, bool blobPlace,
                      int& blobIndex);

}  // namespace lumbra::server::pg
