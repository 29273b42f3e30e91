/* tabrel32.h -- the declaration file validator: its one export and its request.

   tabrel32 checks one file that holds a declaration followed by its receipt.
   Every line of the file is a record: the record text, then the CRC-32 of
   that text written as ten decimal digits ("%010lu"), then CR LF.

     record 1      header: begins with the system tag; ten digits at a given
                   offset of its text carry the declaration CRC; its own CRC
                   covers the name field (below) and the header text
     records 2..   declaration records, each with its own CRC
     ...           declaration trailer: the first record whose text begins with
                   the declaration trailer tag
     ...           receipt records
     ...           receipt trailer: the first record after the declaration
                   trailer whose text begins with the receipt trailer tag; the
                   last ten characters of its text are the receipt CRC
     anything further is never read.

   The declaration CRC is the CRC-32 of records 2 up to and including the
   declaration trailer, each with its CRC field and without its CR LF. The
   receipt CRC is the same CRC carried on over the receipt records, the
   receipt trailer left out.

   The name field: the file name of inputPath (drive and directory dropped),
   its first eight characters followed by its extension (dot included), letters
   a-z turned into A-Z, cut to 12 bytes and padded with zero bytes. When it
   holds 12 characters the header's own CRC covers the name field followed by
   the header text; when it is shorter the zero bytes end it and the CRC covers
   the name alone (abc.xyz: the CRC-32 of "ABC.XYZ").

   A run writes two files:
     cleaned copy  the header text and the texts of the declaration records and
                   of the declaration trailer, without their CRC fields, each
                   followed by CR LF; it remains only after a run without errors
     error log     one line per error, "[%05u] %02d - %s\r\n": record number
                   (header = 1), error number, Windows-1252 text; it remains
                   only after a run with errors

     01 Registro header ausente                     no header record (counts)
     02 Sistema inv\xE1lido                         header lacks the system tag
                                                    (ends the run: result 4)
     03 CRC do registro header inv\xE1lido          header's own CRC (counts)
     04 CRC do registro inv\xE1lido                 a record's own CRC (counts)
     05 Registro trailler da declara\xE7\xE3o ausente  no declaration trailer (counts)
     06 CRC do arquivo declara\xE7\xE3o inv\xE1lido    declaration CRC differs
                                                    (ends the run: result 5)
     07 Registro trailler do recibo ausente         no receipt trailer (counts)
     08 CRC do arquivo de recibo inv\xE1lido        receipt CRC differs
                                                    (ends the run: result 6)
     09 CRC do registro trailler do recibo inv\xE1lido  receipt trailer's own CRC
                                                    (counts)

   After six counted errors the record in hand is finished and nothing more
   is read; 05 and 07 are then no longer logged.

   Files are used through the C library's streams in binary mode: the input is
   read in blocks of 64 KiB and the cleaned copy written in blocks of 64 KiB,
   both held in the call's own stack frame (about 130 KiB of it in all). The
   library allocates nothing and keeps no state between calls: runs on
   different files may overlap on several threads.
*/
#ifndef TABREL32_H
#define TABREL32_H

#include <stdint.h>

/* The Windows export convention: the called function removes its arguments.
   On 64-bit targets there is only one convention. */
#if defined(__i386__)
#  define TABREL_CALL __attribute__((stdcall))
#elif defined(_M_IX86)
#  define TABREL_CALL __stdcall
#else
#  define TABREL_CALL
#endif

/* On Windows the names and ordinals come from tabrel32.def; elsewhere the
   entry points are the only symbols of the library with default visibility. */
#if defined(_WIN32)
#  define TABREL_EXPORT
#else
#  define TABREL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The only argument of TBTabrel, passed by value: ten 32-bit words (40 bytes)
   on 32-bit targets, 72 bytes on x86_64. The caller owns every path, text and
   buffer; the library keeps no pointer beyond the call. */
struct ValidationRequest {
  const char* inputPath;             /* in: the file to check, read in binary mode;
                                        its file name enters the header's own CRC */
  const char* cleanCopyPath;         /* in: the cleaned copy, created or emptied */
  const char* logPath;               /* in: the error log, created or emptied */
  char* declaredCrc;                 /* out, at least 11 bytes: the ten characters of
                                        the header text at declaredCrcOffset and a
                                        NUL; written only when a header was read */
  char* computedCrc;                 /* out, at least 11 bytes: the CRC of the
                                        declaration part, "%10lu" (space-padded) and
                                        a NUL; written only when the run gets past
                                        the declaration part */
  int32_t declaredCrcOffset;         /* in: position (from 0) of the ten-digit
                                        declaration CRC within the header text */
  uint32_t reserved;                 /* not read */
  const char* systemTag;             /* in: the header text begins with it */
  const char* declarationTrailerTag; /* in: marks the declaration trailer */
  const char* receiptTrailerTag;     /* in: marks the receipt trailer */
};
/* A text begins with a tag when its first bytes, as many as the tag has, equal
   the tag; an empty tag matches every record. */

/* ---------------------------------------------------------------------------
   Results of TBTabrel. Never renumbered.
   --------------------------------------------------------------------------- */
enum {
  TB_OK = 0,                       /* every record valid, both trailers present, both
                                      file CRCs right; the cleaned copy remains, the
                                      error log is deleted */
  TB_INPUT_UNAVAILABLE = 1,        /* the input cannot be opened, or the request lacks
                                      inputPath, declaredCrc, computedCrc or one of the
                                      three tags; no file is touched. Also: a read of
                                      the input failed part way (an I/O error, not its
                                      end), whatever the records read so far said; then
                                      neither output file remains */
  TB_CLEAN_COPY_UNAVAILABLE = 2,   /* the cleaned copy cannot be created (or
                                      cleanCopyPath is missing, or is the same path text
                                      as inputPath); the input is closed, no other file
                                      is touched. Also: the cleaned copy could not be
                                      written completely (a write or close error, e.g. a
                                      full disk) on a run that found no error; then
                                      neither output file remains */
  TB_LOG_UNAVAILABLE = 3,          /* the error log cannot be created (or logPath is
                                      missing, or is the same path text as inputPath or
                                      as cleanCopyPath); the cleaned copy, just created
                                      empty, stays */
  TB_SYSTEM_INVALID = 4,           /* the header does not begin with systemTag (error 02) */
  TB_DECLARATION_CRC_INVALID = 5,  /* the declaration CRC does not match (error 06) */
  TB_RECEIPT_CRC_INVALID = 6,      /* the receipt CRC does not match (error 08) */
  TB_MAX_ERRORS = 6                /* a run that reached its end returns its number of
                                      counted errors, 1 to 6; after the sixth the record
                                      in hand is finished and nothing more is read. The
                                      cleaned copy is then deleted, the error log
                                      remains */
};

/* TBTabrel -- validate one declaration-and-receipt file.

   Exported under three names that lead to one entry: TBTABREL (ordinal 1),
   TBTabrel (2) and _TBTabrel@40 (3); on Linux as TBTabrel and TBTABREL.

   Result: one of the TB_ codes above, or the number of counted errors (1 to
   TB_MAX_ERRORS) of a run that reached its end; the early exits fall in the
   same range.

   Records the file format leaves open, handled so that nothing is read or
   written outside a buffer:
     - a line with fewer than ten bytes before its CR LF is a record with an
       empty text whose CRC field holds the bytes there are; its own CRC
       therefore fails (error 03, 04 or 09)
     - a line of 2031 bytes or more before its CR LF is not a record: the
       first 2031 bytes are consumed, the rest of the line starts the next
       record
     - a declaredCrcOffset that leaves fewer than ten bytes of the header text
       (negative, or too close to the end of the text) puts into declaredCrc
       only the bytes of the text that lie in those ten places (possibly none)
       and a NUL, so the declaration CRC cannot match (error 06,
       TB_DECLARATION_CRC_INVALID)
     - a receipt trailer whose text is shorter than ten characters carries no
       receipt CRC: error 08, TB_RECEIPT_CRC_INVALID
     - a long extension is cut where the 16-byte name area ends; only the
       first 12 bytes form the name field, so the cut never shows
     - paths of any length are split without copying; only the first 12
       bytes of file name and extension ever matter
   The results of deleting files and of writing the error log are not looked
   at: a log that cannot be written completely, or an output file that cannot
   be deleted, goes unnoticed. */
TABREL_EXPORT int32_t TABREL_CALL TBTabrel(struct ValidationRequest request);

#if !defined(_WIN32)
/* The same entry under its upper-case name (on Windows it comes from the
   .def file). */
TABREL_EXPORT int32_t TABREL_CALL TBTABREL(struct ValidationRequest request);
#endif

#ifdef __cplusplus
}
#endif

#endif /* TABREL32_H */
