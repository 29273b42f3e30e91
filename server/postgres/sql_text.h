// Reading session SQL for PostgreSQL: statements split at ';', their first word, PARM names bound as $n, what they may do.
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

// Statements that would control the transaction or the connection behind the
// server's back: BEGIN, START, COMMIT, END, ROLLBACK, ABORT, SAVEPOINT,
// RELEASE, PREPARE, DEALLOCATE, SET, RESET, DISCARD, LISTEN, UNLISTEN, NOTIFY,
// COPY, LOAD, DECLARE, FETCH, MOVE, CLOSE (`word`: leadingWord's).
bool refusedWord(const std::string& word);
// Whether session SQL may not run `statement` (led by `word`): a refused word,
// or a call of set_config (a SET by another name) anywhere in it.
bool refusedStatement(std::string_view statement, const std::string& word);
// Whether `statement` (led by `word`) creates a temporary table.
bool createsTemporary(std::string_view statement, const std::string& word);
// Whether a statement only reads (it may run outside the write transaction).
bool readsOnly(std::string_view statement, const std::string& word);

}  // namespace lumbra::server::pg
