/* lumbra32.h -- the client library lumbra32: sessions with the database server.

   The host application opens a session with LBConnect, has commands executed
   with LBCommand, reads the rows of a SELECT with LBGetNext, and closes the
   session with LBDisconn. LBCRC, LBAsciiToEbcdic and LBInsertBin are data
   utilities. Every call is synchronous and blocks until the server's whole
   reply has arrived; there are no time-outs, retries or background activity.

   Threads: no locks are taken. Call the library from one thread at a time.

   Buffers: the host owns every text and buffer it passes; the library keeps no
   pointer to them beyond the call. A "message buffer" has no length argument:
   every export that takes one makes it an empty string on entry and always
   leaves a NUL-terminated text in it. Give it room for the longest server text
   (the announced message length, 1900 before any announcement, plus one) and,
   for LBGetNext, for a row plus its terminator; and never less than 256
   bytes, the room the library's own texts take (status texts up to 79
   characters, the server description of GETSET SERVERINFO up to 250): a
   server may announce a message length shorter than those texts.

   Results: 0 or positive is success (handle, count or length). -1 to -15 are
   the library's own errors (LB_SEND_FAILED ... LB_OUT_OF_MEMORY, listed with
   their texts under "Status codes" below); the message buffer then holds the
   text. Minus a server's four-digit status (0123 gives -123) is a server
   error; the message buffer then holds the server's own text.

   Handles: 0 to 499. Arguments declared int32_t that carry 16-bit values
   (handles, lengths) use only their low 16 bits, read as signed.

   Calling convention: stdcall on 32-bit x86 (Windows and i386 Linux), the
   platform's only convention on x86_64. The Windows DLL exports by name with
   ordinals 1 LBAsciiToEbcdic, 2 LBCRC, 3 LBCommand, 4 LBConnect, 5 LBDisconn,
   6 LBGetNext, 7 LBInsertBin.

   Choices where the protocol leaves room (this implementation):
   - A ",NN=" value that is not exactly 8 hexadecimal digits leaves clientId as
     it was (zero bytes); nothing is read past the login text.
   - An announced message length (",ML=") is accepted from 0 up; a length below
     17 cannot hold any reply, so every later exchange of that session fails
     with -2 (the reply is never read), and commands fail with -6 since no text
     fits; LBDisconn still frees the session. A length whose buffer cannot be
     allocated (or above 2147483627) gives -15 as a failed allocation does.
   - A reply whose status field is not four decimal digits is malformed: -2
     (-8 while connecting), never taken as success.
   - A SELECT reply with status 0000 but no '.' after its counts, or with
     counts that are not numbers >= 0, fails with -2 and opens no result set.
   - A row that does not decode (a run longer than the rest of the row, a digit
     outside 0-9A-Z, the block ending inside a row) fails LBGetNext with -2 and
     ends the result set; nothing is written past the row's length + 1 bytes.
   - A continuation reply headed "LBX000" whose status is 0000 fails LBGetNext
     with -2 (it is neither a block nor a server error).
   - The room test counts a batched command's text as given, but its encoded
     form doubles each '@'. Where an admitted command's encoded form, with its
     blank and the marker and terminator its batch needs, would pass the end
     of the exchange buffer (1901 bytes at connect, the announced length + 20
     after sizing), the pending batch is sent first and the command opens the
     next one. A command whose encoded form cannot fit even an empty batch
     gives -6 before anything is sent, and the pending batch stays. A COMMIT
     text that would pass the end of the buffer behind the pending batch goes
     out in a message of its own right after the batch; the server counts
     the batch's updates into the COMMIT reply all the same.
   - A binary insert when nothing was prepared (no LBInsertBin since the last
     one was sent or a call failed), or prepared for a buffer larger than the
     session now has, gives -14 (-6 for the size) and keeps a pending batch.
   - LBInsertBin with a negative data length gives -14; with a text without
     any '=' gives -1 (as for a prefix shorter than 7 characters).
   - Bytes 0x80..0xFF become the EBCDIC blank 0x40 in LBAsciiToEbcdic and
     LBInsertBin, and in credentials.
   - A command text that holds "LBXEOB", or a batched command whose encoded
     form does (a run can make one: 22 B's before "XEOB"), gives -14 and is
     not sent: the server would take the marker as the end of the message and
     every later reply would answer the wrong command. The session is left as
     it was (a batch that had to be sent first to make room stays sent).
   - updatePending is kept as defined: never set, so -9 is never returned.
   - A socket the platform returns outside 0..32767 is closed and reported as
     -3 (no socket).
   - Socket calls interrupted by a signal are resumed on Linux (the call is
     made again); they never fail with the interruption.
   - The (n) of a -1 or -2 text, in LBConnect as everywhere, is the error the
     failing send or receive met, taken before the connection is torn down
     (closing the socket does not change it).
   - LBInsertBin counts the text before the last '=' in full (never cut to a
     16-bit count): with the data and 12 bytes it must fit the session buffer
     (message length - 20), else -6; so a text of 32,768 characters or more
     before its '=' gives -6 unless the announced message length exceeds it.
   - The rows of a block run to the end of the reply that carried it (its
     end-of-block marker): no count or length in the reply bounds them.
*/
#ifndef LUMBRA32_H
#define LUMBRA32_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#  define LUMBRA_CALL __stdcall
#elif defined(__i386__)
#  define LUMBRA_CALL __attribute__((stdcall))
#else
#  define LUMBRA_CALL
#endif

#if defined(_WIN32)
#  define LUMBRA_EXPORT
#else
#  define LUMBRA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
   Status codes. Never renumbered.
   Each error leaves its text in the message buffer; (n) there is the socket
   library's last error code: a Winsock code on Windows, an errno value on
   Linux.
   --------------------------------------------------------------------------- */
enum {
  LB_OK = 0,
  LB_SEND_FAILED = -1,            /* "LBX601 - ERRO NO ENVIO DA MENSAGEM (n)": message not sent whole */
  LB_RECEIVE_FAILED = -2,         /* "LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (n)": reply not received or malformed */
  LB_NO_CONNECTIVITY = -3,        /* "LBX603 - ESTACAO SEM CONECTIVIDADE (n)": socket library or socket unavailable */
  LB_BAD_SERVER_ADDRESS = -4,     /* "SS0604 - IDENTIFICACAO DO SERVIDOR INVALIDA": address not a numeric IPv4 address */
  LB_TOO_MANY_CONNECTIONS = -5,   /* "LBX605 - EXCESSO DE CONEXOES TCP/IP (500)": all 500 sessions in use */
  LB_COMMAND_TOO_LONG = -6,       /* "LBX606 - TAMANHO DO COMANDO EXCEDIDO": command too long for the buffer */
  LB_CONNECT_FAILED = -7,         /* "LBX607 - FALHA NA CONEXAO (n)": connection refused or failed */
  LB_SERVER_INACTIVE = -8,        /* "LBX608 - SERVIDOR LUMBRA INATIVO": bad reply while connecting */
  LB_UPDATES_WITHOUT_COMMIT = -9, /* "LBX609 - SEQUENCIA DE ATUALIZACOES SEM COMMIT": never returned */
  LB_NO_ROWS = -10,               /* "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA": no row left to read */
  LB_INVALID_RECORD = -11,        /* "LBX611 - REGISTRO INVALIDO": never returned */
  LB_INVALID_COMMAND = -12,       /* "LBX612 - COMANDO INVALIDO (word)": command word not accepted */
  LB_NOT_CONNECTED = -13,         /* "LBX613 - CONEXAO NAO INICIALIZADA": handle of a closed session */
  LB_INVALID_PARAMETERS = -14,    /* "LBX614 - PARAMETROS INVALIDOS": bad handle or argument */
  LB_OUT_OF_MEMORY = -15          /* "LBX615 - MEMORIA INSUFICIENTE": no memory, or buffer sizing failed */
};

/* ---------------------------------------------------------------------------
   Exports
   --------------------------------------------------------------------------- */

/* LBConnect: open a session.
   identification   at most 11 characters, not beginning with a blank (empty allowed)
   firstCredential  at most 24 characters, not beginning with a blank (the password)
   secondCredential at most 25 characters, not beginning with a blank (a new password, or empty)
   serverAddress    fewer than 100 characters: "a.b.c.d" or "a.b.c.d:port" (port 3001
                    when absent, taken modulo 65536); no host names
   message          receives the server's login reply text, or the status text
   Result (low 16 bits, signed): the handle 0..499, or LB_INVALID_PARAMETERS,
   LB_NO_CONNECTIVITY, LB_BAD_SERVER_ADDRESS, LB_CONNECT_FAILED,
   LB_SEND_FAILED, LB_TOO_MANY_CONNECTIONS, LB_OUT_OF_MEMORY,
   LB_RECEIVE_FAILED or LB_SERVER_INACTIVE (reply not received / not framed
   while connecting), or minus the server's status when it refuses the login
   (its text in message). Every failure releases what was taken. */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBConnect(const char* identification, const char* firstCredential,
                                            const char* secondCredential, const char* serverAddress,
                                            char* message);

/* LBDisconn: send the farewell, close the connection, free the session.
   Result: LB_OK (message holds the server's farewell text),
   LB_INVALID_PARAMETERS, LB_NOT_CONNECTED (nothing changes), or
   LB_SEND_FAILED / LB_RECEIVE_FAILED when the farewell was not sent or not
   answered; the session is freed in every case after the handle check. */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBDisconn(int32_t handle, char* message);

/* LBCommand: execute one command of the server's language.
   command  NUL-terminated text of at most (message length - 20) characters; or
            the buffer that LBInsertBin prepared (a binary insert).
   Accepted words: COMMIT DELETE EXEC INSERT ROLLBACK SELECT UPDATE PARM SET GETSET.
   - "INSERT ", "UPDATE ", "DELETE ": compressed and batched locally, result 0,
     empty message; the batch goes out when full, before any other command, or
     with COMMIT.
   - COMMIT: sends the batch with it; result = reply text length / 11, one
     11-character item per committed update; message = reply text. A server
     whose reply cannot hold an item for every update sends as many as fit,
     the last of them '+' and the true total in nine digits (the reference
     lumbra-server does so): the result then counts the items, and the total
     stands in the message's last item.
   - SELECT: result = row count; message = row length (5 digits) and the
     column description up to and including its '.'; read rows with LBGetNext.
   - GETSET CLIENTID / GETSET SERVERINFO: answered locally (15 / text length).
   - EXEC, other GETSET: result = length of the reply text.
   - SET: a ",ML=" in the reply resizes the session buffer (failure:
     LB_OUT_OF_MEMORY, and every later command of the session gives it too).
   - ROLLBACK, PARM, others: 0 with the reply text.
   Errors: LB_INVALID_PARAMETERS, LB_NOT_CONNECTED, LB_OUT_OF_MEMORY,
   LB_COMMAND_TOO_LONG (session untouched); LB_INVALID_COMMAND (unknown word,
   a pending batch is dropped), LB_SEND_FAILED, LB_RECEIVE_FAILED, minus the
   server's status. Any call that passes the checks ends an open result set. */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBCommand(int32_t handle, const char* command, char* message);

/* LBGetNext: deliver the next row of the last SELECT into message (the row's
   bytes, then a NUL). Fetches further blocks from the server with CONT=n.
   Result: the row length; LB_NO_ROWS when no row is left;
   LB_INVALID_PARAMETERS, LB_NOT_CONNECTED; LB_SEND_FAILED, LB_RECEIVE_FAILED
   or minus the server's status (the result set is then ended). */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBGetNext(int32_t handle, char* message);

/* LBCRC: CRC-16/XMODEM (poly 0x1021, init 0, no reflection) of length bytes.
   length <= 0 gives 0 without reading data. Result 0..65535. */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBCRC(int32_t length, const void* data);

/* LBAsciiToEbcdic: convert text in place to EBCDIC (code page 037; control
   codes, DEL, [ \ ] ^ _ ` { | } ~ and bytes from 0x80 become 0x40). Result 0. */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBAsciiToEbcdic(char* text);

/* LBInsertBin: prepare a binary insert in the caller's command buffer.
   command  "INSERT ... =" : the text up to its last '=' is kept, followed by
            "(nnnnn)='", all in EBCDIC, then the data bytes, 0x7D and 0x00.
            The buffer must hold (text up to '=') + 9 + length + 2 bytes.
   data     length bytes, any values; length 0..32767.
   Then pass the same buffer to LBCommand on the same session.
   Result: LB_OK; LB_INVALID_PARAMETERS (bad handle or negative length),
   LB_NOT_CONNECTED, LB_COMMAND_TOO_LONG (too long for the session buffer),
   LB_SEND_FAILED (fewer than 7 characters before the last '=', or no '=').
   On failure neither the buffer nor the session changes. No message. */
LUMBRA_EXPORT int32_t LUMBRA_CALL LBInsertBin(int32_t handle, char* command, const void* data,
                                              int32_t length);

#ifdef __cplusplus
}
#endif

#endif /* LUMBRA32_H */
