{ PascalHost.dpr -- a Delphi / Free Pascal host program using the unit DeclSuite.

  Prints the layout of the records as this compiler makes them (to compare
  with the C headers), then calls the three DLLs: CRC-16 and EBCDIC, a session
  with the server when one is given, a validation run on each sample
  declaration, and a key ring round trip with the sample ring.

  Build:  fpc -Mdelphi PascalHost.dpr       (Free Pascal; on Linux add
                                             -Fl<folder of liblumbra32.so ...>)
          dcc32 PascalHost.dpr / dcc64 PascalHost.dpr   (Delphi)
  Run:    PascalHost [SAMPLES [ADDRESS USER PASSWORD]]
          SAMPLES: the folder of the sample files (default: samples); without
          ADDRESS the session is left out. Ends with "N unexpected". }
program PascalHost;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$APPTYPE CONSOLE}

uses
  SysUtils, DeclSuite;

var
  Unexpected: Integer = 0;

procedure Expect(Ok: Boolean; const What: string);
begin
  if not Ok then
  begin
    WriteLn('unexpected: ', What);
    Inc(Unexpected);
  end;
end;

procedure Field(const RecordName, FieldName: string; Base, Address: Pointer; Size: Integer);
begin
  WriteLn('layout ', RecordName, '.', FieldName, ' ', NativeUInt(Address) - NativeUInt(Base), ' ', Size);
end;

procedure Layouts;
var
  R: TValidationRequest;
  K: TPublicKeyRecord;
  T: TCalendarTime;
begin
  WriteLn('layout ValidationRequest ', SizeOf(R));
  Field('ValidationRequest', 'InputPath', @R, @R.InputPath, SizeOf(R.InputPath));
  Field('ValidationRequest', 'CleanCopyPath', @R, @R.CleanCopyPath, SizeOf(R.CleanCopyPath));
  Field('ValidationRequest', 'LogPath', @R, @R.LogPath, SizeOf(R.LogPath));
  Field('ValidationRequest', 'DeclaredCrc', @R, @R.DeclaredCrc, SizeOf(R.DeclaredCrc));
  Field('ValidationRequest', 'ComputedCrc', @R, @R.ComputedCrc, SizeOf(R.ComputedCrc));
  Field('ValidationRequest', 'DeclaredCrcOffset', @R, @R.DeclaredCrcOffset, SizeOf(R.DeclaredCrcOffset));
  Field('ValidationRequest', 'Reserved', @R, @R.Reserved, SizeOf(R.Reserved));
  Field('ValidationRequest', 'SystemTag', @R, @R.SystemTag, SizeOf(R.SystemTag));
  Field('ValidationRequest', 'DeclarationTrailerTag', @R, @R.DeclarationTrailerTag, SizeOf(R.DeclarationTrailerTag));
  Field('ValidationRequest', 'ReceiptTrailerTag', @R, @R.ReceiptTrailerTag, SizeOf(R.ReceiptTrailerTag));
  WriteLn('layout CalendarTime ', SizeOf(T));
  Field('CalendarTime', 'Second', @T, @T.Second, SizeOf(T.Second));
  Field('CalendarTime', 'Minute', @T, @T.Minute, SizeOf(T.Minute));
  Field('CalendarTime', 'Hour', @T, @T.Hour, SizeOf(T.Hour));
  Field('CalendarTime', 'Day', @T, @T.Day, SizeOf(T.Day));
  Field('CalendarTime', 'Month', @T, @T.Month, SizeOf(T.Month));
  Field('CalendarTime', 'Year', @T, @T.Year, SizeOf(T.Year));
  WriteLn('layout PublicKeyRecord ', SizeOf(K));
  Field('PublicKeyRecord', 'ModulusLength', @K, @K.ModulusLength, SizeOf(K.ModulusLength));
  Field('PublicKeyRecord', 'Modulus', @K, @K.Modulus, SizeOf(K.Modulus));
  Field('PublicKeyRecord', 'ExponentLength', @K, @K.ExponentLength, SizeOf(K.ExponentLength));
  Field('PublicKeyRecord', 'Exponent', @K, @K.Exponent, SizeOf(K.Exponent));
  Field('PublicKeyRecord', 'UserId', @K, @K.UserId, SizeOf(K.UserId));
  Field('PublicKeyRecord', 'Created', @K, @K.Created, SizeOf(K.Created));
  Field('PublicKeyRecord', 'Next', @K, @K.Next, SizeOf(K.Next));
end;

procedure Lumbra(const Address, User, Password: AnsiString);
var
  Message: array[0..32000] of AnsiChar;  { the reference server announces 32000 }
  Text: array[0..15] of AnsiChar;
  Handle: SmallInt;
  Rows, Length: Integer;
begin
  Expect(LBCRC(9, PAnsiChar('123456789')) = $31C3, 'LBCRC of "123456789" is 0x31C3');
  StrPCopy(Text, 'AZ09 az');
  Expect((LBAsciiToEbcdic(Text) = 0) and (Byte(Text[0]) = $C1) and (Byte(Text[4]) = $40) and (Byte(Text[6]) = $A9),
    'LBAsciiToEbcdic gives EBCDIC');
  if Address = '' then
    Exit;
  Handle := SmallInt(LBConnect(PAnsiChar(User), PAnsiChar(Password), '', PAnsiChar(Address), Message));
  WriteLn('LBConnect = ', Handle, ' "', Message, '"');
  Expect(Handle >= 0, 'LBConnect opens a session');
  if Handle < 0 then
    Exit;
  Expect(LBCommand(Handle, 'GETSET CLIENTID', Message) = 15, 'GETSET CLIENTID');
  WriteLn('GETSET CLIENTID: ', Message);
  Rows := LBCommand(Handle, 'SELECT 7 AS N, ''seven'' AS NAME', Message);
  WriteLn('SELECT = ', Rows, ' "', Message, '"');
  Length := LBGetNext(Handle, Message);
  WriteLn('LBGetNext = ', Length, ' "', Message, '"');
  Expect((Rows = 1) and (Length = 6) and (StrComp(Message, '7seven') = 0), 'one row "7seven"');
  Expect(LBGetNext(Handle, Message) = LB_NO_ROWS, 'then -10');
  Expect(LBDisconn(Handle, Message) = 0, 'LBDisconn');
end;

procedure Validate(const Samples, Name: AnsiString; Wanted: Integer);
var
  Request: TValidationRequest;
  Declared, Computed: array[0..10] of AnsiChar;
  Input, Log: AnsiString;
  Answer: Integer;
  LogFile: TextFile;
  Line: AnsiString;
begin
  Input := Samples + '/' + Name;
  Log := Name + '.log';
  FillChar(Request, SizeOf(Request), 0);
  FillChar(Declared, SizeOf(Declared), 0);
  FillChar(Computed, SizeOf(Computed), 0);
  Request.InputPath := PAnsiChar(Input);
  Request.CleanCopyPath := 'cleaned.txt';
  Request.LogPath := PAnsiChar(Log);
  Request.DeclaredCrc := Declared;
  Request.ComputedCrc := Computed;
  Request.DeclaredCrcOffset := 7;
  Request.SystemTag := 'DSUITE';
  Request.DeclarationTrailerTag := 'TRLDECL';
  Request.ReceiptTrailerTag := 'TRLRCPT';
  Answer := Tabrel(Request);
  WriteLn('TBTabrel(', Name, ') = ', Answer, ', declared CRC "', Declared, '", computed CRC "', Computed, '"');
  Expect(Answer = Wanted, 'the sample''s result');
  { The error log: one line per error, Windows-1252 texts. }
  AssignFile(LogFile, Log);
  {$I-} Reset(LogFile); {$I+}
  if IOResult = 0 then
  begin
    while not Eof(LogFile) do
    begin
      ReadLn(LogFile, Line);
      WriteLn('  ', Line);
    end;
    CloseFile(LogFile);
  end;
  DeleteFile('cleaned.txt');
  DeleteFile(Log);
end;

procedure ListKeys(List: TKeyList);
var
  Key: PPublicKeyRecord;
  Id: array[0..31] of AnsiChar;
  I: Integer;
  KeyId: string;
begin
  while is_empty_publist(List) = 0 do
  begin
    Key := head_publist(List);
    GetIdFromPubkey(Key, Id);
    KeyId := '';
    for I := Key^.ModulusLength - 8 to Key^.ModulusLength - 1 do
      KeyId := KeyId + IntToHex(Key^.Modulus[I], 2);
    with Key^.Created do
      WriteLn(Format('  %s %.4d-%.2d-%.2d %.2d:%.2d:%.2d %s',
        [KeyId, Year + 1900, Month, Day, Hour, Minute, Second, AnsiString(Id)]));
    List := tail_publist(List);
  end;
end;

procedure Keyring(const Samples: AnsiString);
var
  Ring, Again, Selection, Joined: TKeyList;
  Status: Integer;
  Found: TPublicKeyRecord;
  Stream: Pointer;
begin
  Ring := LoadPublicKeys(PAnsiChar(Samples + '/pubring.pgp'), @Status);
  WriteLn('LoadPublicKeys(pubring.pgp) = status ', Status, ', ', FindNumberOfKeys(Ring), ' keys');
  ListKeys(Ring);
  Expect((Status = ORVAK_OK) and (length_publist(Ring) = 3), 'the sample ring holds 3 keys');
  FillChar(Found, SizeOf(Found), 0);
  Expect(locate_public_key_by_id(Ring, 'bob porto <BOB@example.org>', Found) = ORVAK_OK, 'locate_public_key_by_id');
  Expect(locate_public_key(Ring, @Found.Modulus[Found.ModulusLength - 8], Found) = ORVAK_OK, 'locate_public_key');
  Expect(StrComp(Found.UserId, 'Bob Porto <bob@example.org>') = 0, 'Bob''s user id');
  Expect(bhead_publist(Ring, Found) = 0, 'bhead_publist');
  StrPCopy(Found.UserId, 'Dora <dora@example.org>');
  Ring := AddPublicKey(Ring, @Found);
  Ring := RemovePublicKey(Ring, 'Carla Braga <carla@example.org>');
  Expect((IsPublicKeyInList(Ring, 'DORA <dora@example.org>') = 1) and (length_publist(Ring) = 3), 'Dora in, Carla out');
  Expect(SavePublicKeys(Ring, 'pascal-ring.pgp') = ORVAK_OK, 'SavePublicKeys');
  Again := LoadPublicKeys('pascal-ring.pgp', @Status);
  WriteLn('saved and loaded again: status ', Status, ', ', length_publist(Again), ' keys');
  ListKeys(Again);
  Expect((Status = ORVAK_OK) and (length_publist(Again) = 3), 'the saved ring loads');
  Stream := CRuntimeOpen('pascal-packet.pgp', 'wb');
  Expect((Stream <> nil) and (write_public_key_packet(Stream, head_publist(Again), 0, 0) = 0),
    'write_public_key_packet');
  if Stream <> nil then
    CRuntimeClose(Stream);
  { append_publist copies the first list and links the second: release the
    copies, then each list once. }
  Selection := cons_publist(@Found, empty_publist);
  Joined := append_publist(Selection, Again);
  Expect(length_publist(Joined) = 4, 'cons_publist and append_publist');
  Joined := rm_head_publist(Joined);
  Expect(Joined = Again, 'rm_head_publist leaves the shared list');
  free_publist(Selection);
  free_publist(Again);
  free_publist(Ring);
  DeleteFile('pascal-ring.pgp');
  DeleteFile('pascal-packet.pgp');
end;

var
  Samples: AnsiString;
begin
  Samples := 'samples';
  if ParamCount >= 1 then
    Samples := ParamStr(1);
  Layouts;
  if ParamCount >= 4 then
    Lumbra(ParamStr(2), ParamStr(3), ParamStr(4))
  else
    Lumbra('', '', '');
  Validate(Samples, 'DECL2026.TXT', TB_OK);
  Validate(Samples, 'DAMAGE26.TXT', TB_DECLARATION_CRC_INVALID);
  Keyring(Samples);
  WriteLn(Unexpected, ' unexpected');
  if Unexpected <> 0 then
    Halt(1);
end.
