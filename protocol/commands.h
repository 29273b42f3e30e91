// commands.h -- the command language as client, server and shell see it: the
// command words and the paths their texts take, the word a text is known by,
// the items of a COMMIT reply, and the place of a refused update in a batch.
//
// Paths, by tests on the text itself (the first that holds wins):
//   "COMMIT"                                  commit: sent behind any pending batch
//   "INSERT ", "UPDATE ", "DELETE "           batched: compressed into the batch
//   the EBCDIC "INSERT " (kBinaryInsertPrefix) binary insert: sent alone
//   "GETSET " naming CLIENTID, else SERVERINFO answered by the client itself
//   anything else                             direct: sent as it is
//
// COMMIT reply text: one kCommitItemLength-character item per update since the
// last COMMIT, the rows it changed in ten digits and a blank ("0000000003 ").
// When the items do not all fit the reply, the last item that fits carries
// the number of updates instead: '+', nine digits, a blank ("+000012345 ").
// The client answers COMMIT with the number of items.
//
// Refusal of a batch: the reply text names the update that failed, counted
// from 1, as "NA ATUALIZACAO n DO LOTE" ("ERRO SQL NA ATUALIZACAO 2 DO LOTE: ...").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumbra {

// The command words the client accepts, each followed by a blank; a word is
// accepted when it stands anywhere in this text.
inline constexpr char kCommandWords[] = "COMMIT DELETE EXEC INSERT ROLLBACK SELECT UPDATE PARM SET GETSET ";

// The same words one by one, without their blanks.
inline constexpr std::array<std::string_view, 10> kCommandWordList = {
    "COMMIT", "DELETE", "EXEC", "INSERT", "ROLLBACK", "SELECT", "UPDATE", "PARM", "SET", "GETSET"};

// A command is known by its characters up to the first blank, at most this many.
inline constexpr std::size_t kCommandWordLength = 16;

// The word a command text is known by, without its blank: what the server
// names in its refusal of an unknown command and in its log.
std::string_view commandWord(std::string_view text);

// The word as the client takes it: with its blank (one added where the text
// ends before a blank), at most kCommandWordLength characters, terminated.
struct PaddedCommandWord {
  char text[kCommandWordLength + 1];
};
PaddedCommandWord paddedCommandWord(std::string_view text);

// Whether the client accepts a padded word: it stands in kCommandWords.
bool isAcceptedWord(const PaddedCommandWord& word);

// The three words whose commands the client gathers into batches.
inline constexpr std::array<std::string_view, 3> kBatchedWords = {"INSERT ", "UPDATE ", "DELETE "};

// Whether a text begins with a batched word and its blank: the client batches
// it, and each entry of a batch begins so. (Inline: every row of a load asks.)
inline bool isBatchedCommand(std::string_view text) {
  for (std::string_view word : kBatchedWords) {
    if (text.starts_with(word)) return true;
  }
  return false;
}

// Whether a text begins with the letters of a batched word, blank or not:
// what the server takes as a batch.
bool namesBatchedWord(std::string_view text);

// Whether a text is a COMMIT (begins with "COMMIT").
inline bool isCommitCommand(std::string_view text) { return text.starts_with("COMMIT"); }

// What a "GETSET " text that the client answers itself asks for.
enum class LocalAnswer { None, ClientId, ServerInfo };
LocalAnswer localAnswerOf(std::string_view text);

// ---- COMMIT reply

inline constexpr std::size_t kCommitItemLength = 11;

// The text of a COMMIT reply of at most `room` characters for `updates`
// updates, of which `changes` holds the rows changed by the first ones (the
// rest count 0).
std::string formatCommitText(std::span<const std::uint32_t> changes, long long updates, std::size_t room);

// The number of items in a COMMIT reply text of `length` characters: what
// LBCommand answers.
std::int32_t commitItemCount(std::size_t length);

// The number of updates a COMMIT reply text's last item carries, when it is
// the '+' item of a text whose items did not all fit.
std::optional<std::int64_t> commitTotal(std::string_view text);

// ---- refusal of a batch

// "NA ATUALIZACAO n DO LOTE" for the update `n` (from 1) of a batch.
std::string batchUpdatePlace(std::size_t n);

// The update n that a refusal text names anywhere in it, if it names one
// (at most nine digits).
std::optional<std::size_t> readBatchUpdatePlace(std::string_view text);

}  // namespace lumbra
