{ DeclSuite.pas -- the exports and records of lumbra32, tabrel32 and orvak32
  for Delphi and Free Pascal hosts.

  One unit for the three DLLs: the declarations follow the C headers
  (lumbra32.h, tabrel32.h, orvak32.h), which remain the manual of every call;
  the records have the same fields, sizes and offsets as the C structures
  (docs/tabrel32.md and docs/orvak32.md list them per target).

  Targets: 32-bit Windows (every export stdcall), 64-bit Windows (the one
  calling convention), and with Free Pascal also Linux, against the suite's
  shared libraries (liblumbra32.so, ...). Free Pascal compiles the unit in
  Delphi mode (the directive below).

  Types: Integer and Cardinal are 32 bits in Delphi and in Free Pascal's
  Delphi mode on every target; pointers and PAnsiChar are 4 or 8 bytes.
  Records go to the DLLs by address: a record the DLL reads is passed as
  PPublicKeyRecord (@Key), one it fills as a var parameter, so that no
  compiler's rule for records passed by value comes into play.

  TBTabrel takes its request by value: 40 bytes on 32-bit Windows, which is
  the same as ten 32-bit arguments pushed from the last to the first; 72
  bytes on 64-bit targets, which the C rules of those targets pass as a
  record. Call Tabrel(Request) below: it calls the DLL the right way on each
  target. }
unit DeclSuite;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$ALIGN 8}
{$MINENUMSIZE 4}

interface

const
{$IFDEF MSWINDOWS}
  Lumbra32Library = 'lumbra32.dll';
  Tabrel32Library = 'tabrel32.dll';
  Orvak32Library = 'orvak32.dll';
  CRuntimeLibrary = 'msvcrt.dll';
{$ELSE}
  Lumbra32Library = 'lumbra32';
  Tabrel32Library = 'tabrel32';
  Orvak32Library = 'orvak32';
  CRuntimeLibrary = 'c';
{$ENDIF}

{ ----- lumbra32 ----------------------------------------------------------- }

const
  { Status codes of lumbra32, named as in lumbra32.h; minus a server's
    four-digit status is the server's refusal (its text in the message
    buffer). }
  LB_OK = 0;
  LB_SEND_FAILED = -1;            { LBX601 message not sent whole }
  LB_RECEIVE_FAILED = -2;         { LBX602 reply not received or malformed }
  LB_NO_CONNECTIVITY = -3;        { LBX603 socket library or socket unavailable }
  LB_BAD_SERVER_ADDRESS = -4;     { SS0604 address not a numeric IPv4 address }
  LB_TOO_MANY_CONNECTIONS = -5;   { LBX605 all 500 sessions in use }
  LB_COMMAND_TOO_LONG = -6;       { LBX606 command too long for the buffer }
  LB_CONNECT_FAILED = -7;         { LBX607 connection refused or failed }
  LB_SERVER_INACTIVE = -8;        { LBX608 bad reply while connecting }
  LB_UPDATES_WITHOUT_COMMIT = -9; { LBX609 never returned }
  LB_NO_ROWS = -10;               { LBX610 no row left to read }
  LB_INVALID_RECORD = -11;        { LBX611 never returned }
  LB_INVALID_COMMAND = -12;       { LBX612 command word not accepted }
  LB_NOT_CONNECTED = -13;         { LBX613 handle of a closed session }
  LB_INVALID_PARAMETERS = -14;    { LBX614 bad handle or argument }
  LB_OUT_OF_MEMORY = -15;         { LBX615 no memory, or buffer sizing failed }

{ Message buffers have no length argument: give each call a buffer of the
  announced message length + 1 bytes (1901 before the login), never fewer
  than 256. The handle is the low 16 bits of LBConnect's result: SmallInt(r). }
function LBConnect(Identification, FirstCredential, SecondCredential, ServerAddress: PAnsiChar;
  Message: PAnsiChar): Integer; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;
function LBDisconn(Handle: Integer; Message: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;
function LBCommand(Handle: Integer; Command: PAnsiChar; Message: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;
function LBGetNext(Handle: Integer; Message: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;
function LBCRC(Length: Integer; Data: Pointer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;
function LBAsciiToEbcdic(Text: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;
{ Command: a writable buffer of (text up to its last '=') + 9 + Length + 2
  bytes; pass the same buffer to LBCommand afterwards. }
function LBInsertBin(Handle: Integer; Command: PAnsiChar; Data: Pointer; Length: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Lumbra32Library;

{ ----- tabrel32 ----------------------------------------------------------- }

type
  { The one argument of TBTabrel (struct ValidationRequest): 40 bytes on
    32-bit targets, 72 on 64-bit ones. DeclaredCrc and ComputedCrc point to
    buffers of at least 11 bytes. }
  TValidationRequest = record
    InputPath: PAnsiChar;
    CleanCopyPath: PAnsiChar;
    LogPath: PAnsiChar;
    DeclaredCrc: PAnsiChar;
    ComputedCrc: PAnsiChar;
    DeclaredCrcOffset: Integer;
    Reserved: Cardinal;
    SystemTag: PAnsiChar;
    DeclarationTrailerTag: PAnsiChar;
    ReceiptTrailerTag: PAnsiChar;
  end;

const
  { Results of TBTabrel, named as in tabrel32.h: TB_OK for a valid file; a
    run that reached its end returns its number of counted errors, 1 to
    TB_MAX_ERRORS; the others are early ends. }
  TB_OK = 0;
  TB_INPUT_UNAVAILABLE = 1;
  TB_CLEAN_COPY_UNAVAILABLE = 2;
  TB_LOG_UNAVAILABLE = 3;
  TB_SYSTEM_INVALID = 4;
  TB_DECLARATION_CRC_INVALID = 5;
  TB_RECEIPT_CRC_INVALID = 6;
  TB_MAX_ERRORS = 6;

{ Validates one declaration file: TBTabrel, called as each target needs. }
function Tabrel(const Request: TValidationRequest): Integer;

{$IF Defined(MSWINDOWS) and not Defined(WIN64)}
{ The 40-byte request by value is the same as these ten 32-bit arguments. }
function TBTabrel(InputPath, CleanCopyPath, LogPath, DeclaredCrc, ComputedCrc: PAnsiChar;
  DeclaredCrcOffset: Integer; Reserved: Cardinal;
  SystemTag, DeclarationTrailerTag, ReceiptTrailerTag: PAnsiChar): Integer;
  stdcall; external Tabrel32Library name 'TBTabrel';
{$ELSE}
function TBTabrel(Request: TValidationRequest): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Tabrel32Library name 'TBTabrel';
{$IFEND}

{ ----- orvak32 ------------------------------------------------------------ }

const
  { Status codes of orvak32, named as in orvak32.h. }
  ORVAK_OK = 0;
  PACKET_WRITE_FAILED = 1;
  KEYRING_OPEN_FAILED = 40994;
  KEYRING_CREATE_FAILED = 40995;
  KEY_NOT_FOUND = 40996;
  KEYRING_FORMAT_ERROR = 40997;
  KEYRING_CLOSE_FAILED = 41030;

type
  { Universal time. Year counts from 1900, Month from 1. }
  TCalendarTime = record
    Second: Integer;
    Minute: Integer;
    Hour: Integer;
    Day: Integer;
    Month: Integer;
    Year: Integer;
  end;

  PPublicKeyRecord = ^TPublicKeyRecord;
  { struct PublicKeyRecord: 200 bytes on 32-bit targets, 208 on 64-bit ones.
    The key id is the last 8 bytes of the modulus in use. }
  TPublicKeyRecord = record
    ModulusLength: Integer;
    Modulus: array[0..127] of Byte;
    ExponentLength: Integer;
    Exponent: array[0..3] of Byte;
    UserId: array[0..31] of AnsiChar;
    Created: TCalendarTime;
    Next: PPublicKeyRecord;
  end;

  { A list is a pointer to its first record; nil is the empty list. The DLL
    owns the records of a list: never free one yourself. }
  TKeyList = PPublicKeyRecord;

function LoadPublicKeys(Path: PAnsiChar; Status: PInteger): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function SavePublicKeys(List: TKeyList; Path: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function FindNumberOfKeys(List: TKeyList): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
{ KeyId points to the 8 bytes of a key id. }
function locate_public_key(List: TKeyList; KeyId: Pointer; var Found: TPublicKeyRecord): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function locate_public_key_by_id(List: TKeyList; UserId: PAnsiChar; var Found: TPublicKeyRecord): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function RemovePublicKey(List: TKeyList; UserId: PAnsiChar): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function AddPublicKey(List: TKeyList; Key: PPublicKeyRecord): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function IsPublicKeyInList(List: TKeyList; UserId: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
{ Stream: a FILE* of the DLLs' C runtime, from CRuntimeOpen below. }
function write_public_key_packet(Stream: Pointer; Key: PPublicKeyRecord; Timestamp: Cardinal;
  Validity: Word): Integer; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function empty_publist: TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function is_empty_publist(List: TKeyList): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function head_publist(List: TKeyList): PPublicKeyRecord;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function bhead_publist(List: TKeyList; var First: TPublicKeyRecord): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function tail_publist(List: TKeyList): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function rm_head_publist(List: TKeyList): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function cons_publist(Key: PPublicKeyRecord; List: TKeyList): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function append_publist(First, Second: TKeyList): TKeyList;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
procedure free_publist(List: TKeyList);
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
function length_publist(List: TKeyList): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;
{ Buffer: at least 32 bytes. }
function GetIdFromPubkey(Key: PPublicKeyRecord; Buffer: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Orvak32Library;

{ A file of the C runtime the DLLs use (msvcrt.dll on Windows), for
  write_public_key_packet; Mode 'wb'. }
function CRuntimeOpen(Path, Mode: PAnsiChar): Pointer; cdecl; external CRuntimeLibrary name 'fopen';
function CRuntimeClose(Stream: Pointer): Integer; cdecl; external CRuntimeLibrary name 'fclose';

implementation

function Tabrel(const Request: TValidationRequest): Integer;
begin
{$IF Defined(MSWINDOWS) and not Defined(WIN64)}
  Result := TBTabrel(Request.InputPath, Request.CleanCopyPath, Request.LogPath, Request.DeclaredCrc,
    Request.ComputedCrc, Request.DeclaredCrcOffset, Request.Reserved, Request.SystemTag,
    Request.DeclarationTrailerTag, Request.ReceiptTrailerTag);
{$ELSE}
  Result := TBTabrel(Request);
{$IFEND}
end;

end.
