; Installer of the Lumenfeld Browser Service.
;
;   LumenfeldBrowserServiceSetup.exe [/S] [/D=<folder>]
;
; /S installs without a window; /D= (last on the line, unquoted) chooses the
; folder, "Program Files\Lumenfeld" by default. A service that is already
; registered, running or not, is stopped, its files replaced, its
; registration brought in line with this build, and started again. The
; service's state folder under ProgramData (rollout state, log) is created
; when missing, as the service creates it (protected access list, owner
; LocalSystem), and otherwise never touched, by the installer or the
; uninstaller.
;
; A folder that already exists is used only when it is empty or holds an
; earlier install of this service (the folder its uninstall entry names):
; files someone else put there first, a DLL the programs would load in place
; of the system's in particular, would stay. Any DLL in the folder is
; removed before the programs are written: they load none from there.
;
; A folder that is a link (a junction, a symbolic link, a mount point), or
; lies below a link that is not the system's own, is refused before anything
; is written: whoever made the link could point it at a program of their own
; once the folder is registered, and the service manager would run that as
; LocalSystem.
;
; The install folder, whichever is chosen, gets a protected access list:
; LocalSystem and Administrators full control, Users read and execute, owner
; Administrators, set through a handle on the folder itself, never through a
; link. Each program is replaced by moving the old copy aside and
; bringing it back if the install fails, so a failed upgrade leaves the old
; service installed and running.
;
; Exit code 0 on success; otherwise non-zero, with the reason in Setup.log in
; the install folder (or, when the folder cannot be created, in a file of a
; new unique name in %TEMP%, named in the details). The uninstaller logs to a
; file of a new unique name in %TEMP%: a fixed name there could be created
; first, as a link, by any user.
;
; The build passes:
;   OUTFILE          the installer to write
;   FILE_LIST        an include defining the macro LumenfeldProgramFiles ACTION,
;                    which applies ACTION (name, source path) to every program
;   SERVICE_VERSION  the version shown in the system's list of programs
;
; The service manager is driven with the system's own sc.exe and net.exe.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include FileFunc.nsh

!define SERVICE_NAME "Lumenfeld Browser Service"
!define SERVICE_EXE "LumenfeldBrowserService.exe"
!define SERVICE_DESCRIPTION "Keeps the browser plugin of OBS Studio matched to the installed OBS build and keeps itself up to date."
; What "sc create" and "sc config" are given, the same for both. The
; executable path is quoted so that a folder with spaces cannot be read as a
; shorter path followed by arguments.
!define SERVICE_SETTINGS 'binPath= "\"$INSTDIR\${SERVICE_EXE}\"" type= own start= auto error= normal obj= LocalSystem DisplayName= "${SERVICE_NAME}"'
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\LumenfeldBrowserService"
; The service's event source: its executable holds the texts (a message
; table), so the event viewer shows the service's text alone.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${SERVICE_NAME}"
; How long the service may take to stop (in half seconds), and then its
; process to let go of its files (in quarter seconds).
!define STOP_WAIT_STEPS 60
!define FILE_WAIT_STEPS 32

; The access list of the install folder (as the service's own folders').
!define INSTDIR_SDDL "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"

; The service's state folder: its list, with LocalSystem as owner; the same
; list with the default owner (Administrators) where this process may not
; give the folder that owner.
!define STATE_FOLDER "ProgramData\LumenfeldService"
!define STATE_SDDL "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"
!define STATE_SDDL_DEFAULT_OWNER "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"

; Links on the way to a folder that may stay: the system's own (such as
; "C:\Documents and Settings"), which belong to LocalSystem or
; TrustedInstaller. Any other owner may have pointed one anywhere.
!define SYSTEM_SID "S-1-5-18"
!define TRUSTED_INSTALLER_SID "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
; CreateFileW on a folder or link itself: FILE_FLAG_BACKUP_SEMANTICS |
; FILE_FLAG_OPEN_REPARSE_POINT; FILE_SHARE_READ | WRITE | DELETE; OPEN_EXISTING.
!define OPEN_ITSELF "i 7, p 0, i 3, i 0x02200000, p 0"
!define FILE_ATTRIBUTE_REPARSE_POINT 0x400

; Exit codes.
!define EXIT_FOLDER 2
!define EXIT_STOP 3
!define EXIT_FILES 4
!define EXIT_REGISTER 5
!define EXIT_START 6
!define EXIT_UNREGISTER 7
!define EXIT_ACCESS 8
!define EXIT_FOREIGN_FOLDER 9

Name "Lumenfeld Browser Service"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Lumenfeld"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var LogFile
; Set once the installer has stopped a running service, so that a failure
; afterwards starts it again instead of leaving the machine without it.
Var StoppedService
; Set by the uninstaller when a program file could not be removed.
Var FilesLeft
; Set while programs moved aside may have to be put back.
Var MovingPrograms

; --- Helpers, defined for the installer and (with prefix "un.") the uninstaller.

!macro DefineHelpers PREFIX

; Appends one time-stamped line to $LogFile and shows it in the details.
; Stack in: the text.
Function ${PREFIX}Log
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  DetailPrint "$0"
  ${GetTime} "" "L" $2 $3 $4 $5 $6 $7 $8
  FileOpen $1 "$LogFile" a
  ${If} $1 != ""
    FileSeek $1 0 END
    FileWrite $1 "$4-$3-$2 $6:$7:$8 $0$\r$\n"
    FileClose $1
  ${EndIf}
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Runs a command line without a window and logs it with its exit code and
; output. Stack in: the command line. Out: $R9 the exit code ("error" when
; it could not be run), $R8 its output.
Function ${PREFIX}Run
  Exch $R7
  nsExec::ExecToStack $R7
  Pop $R9
  Pop $R8
  Push "Ran $R7: exit code $R9, output: $R8"
  Call ${PREFIX}Log
  Pop $R7
FunctionEnd

; $R9 = "absent", "stopped" or "active" (running or on its way).
Function ${PREFIX}QueryService
  Push '"$SYSDIR\sc.exe" query "${SERVICE_NAME}"'
  Call ${PREFIX}Run
  ${If} $R9 != 0
    StrCpy $R9 "absent"
    Return
  ${EndIf}
  ; The output names the state in words, e.g. "STATE : 1  STOPPED".
  StrLen $R3 $R8
  StrCpy $R2 0
  StrCpy $R6 0
  ${DoWhile} $R2 < $R3
    StrCpy $R1 $R8 7 $R2
    ${If} $R1 == "STOPPED"
      StrCpy $R6 1
      ${Break}
    ${EndIf}
    IntOp $R2 $R2 + 1
  ${Loop}
  ${If} $R6 == 1
    StrCpy $R9 "stopped"
  ${Else}
    StrCpy $R9 "active"
  ${EndIf}
FunctionEnd

; Asks the service to stop and waits until it has. $R9 = "ok", or "timeout"
; when it is still not stopped after STOP_WAIT_STEPS half seconds.
Function ${PREFIX}StopService
  Push '"$SYSDIR\net.exe" stop "${SERVICE_NAME}"'
  Call ${PREFIX}Run
  StrCpy $R5 0
  ${Do}
    Call ${PREFIX}QueryService
    ${If} $R9 != "active"
      StrCpy $R9 "ok"
      Return
    ${EndIf}
    IntOp $R5 $R5 + 1
    ${If} $R5 > ${STOP_WAIT_STEPS}
      StrCpy $R9 "timeout"
      Return
    ${EndIf}
    Sleep 500
  ${Loop}
FunctionEnd

; Deletes a file, retrying while it is still in use (a service process that
; has reported itself stopped may take a moment to end). Stack in: the path.
; $R9 = "ok" when the file is gone.
Function ${PREFIX}DeleteWithRetry
  Exch $R7
  StrCpy $R5 0
  ${Do}
    ${IfNot} ${FileExists} "$R7"
      StrCpy $R9 "ok"
      Pop $R7
      Return
    ${EndIf}
    ClearErrors
    Delete "$R7"
    IntOp $R5 $R5 + 1
    ${If} $R5 > ${FILE_WAIT_STEPS}
      StrCpy $R9 "busy"
      Push "Cannot remove $R7: it stays in use"
      Call ${PREFIX}Log
      Pop $R7
      Return
    ${EndIf}
    ${If} ${FileExists} "$R7"
      Sleep 250
    ${EndIf}
  ${Loop}
FunctionEnd

!macroend

!insertmacro DefineHelpers ""
!insertmacro DefineHelpers "un."

; Moves a program aside to "<path>.old" (an older leftover there is removed
; first), retrying while it is still in use. Stack in: the path. $R9 = "ok"
; when it is aside or there was none.
Function MoveAsideWithRetry
  Exch $R7
  Push "$R7.old"
  Call DeleteWithRetry
  ${If} $R9 != "ok"
    Pop $R7
    Return
  ${EndIf}
  StrCpy $R5 0
  ${Do}
    ${IfNot} ${FileExists} "$R7"
      StrCpy $R9 "ok"
      Pop $R7
      Return
    ${EndIf}
    ClearErrors
    Rename "$R7" "$R7.old"
    ${IfNot} ${Errors}
      StrCpy $R9 "ok"
      Pop $R7
      Return
    ${EndIf}
    IntOp $R5 $R5 + 1
    ${If} $R5 > ${FILE_WAIT_STEPS}
      StrCpy $R9 "busy"
      Push "Cannot move $R7 aside: it stays in use"
      Call Log
      Pop $R7
      Return
    ${EndIf}
    Sleep 250
  ${Loop}
FunctionEnd

; $R9 = the owner of the file, folder or link $R8 itself (a link is not
; followed), as a SID string; "" when it cannot be read.
Function OwnerOfItself
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $R9 ""
  ; READ_CONTROL
  System::Call 'kernel32::CreateFileW(w R8, i 0x20000, ${OPEN_ITSELF}) p .r0'
  ${If} $0 != -1
    ; SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION
    System::Call 'advapi32::GetSecurityInfo(p r0, i 1, i 1, *p .r1, p 0, p 0, p 0, *p .r2) i .r3'
    ${If} $3 == 0
      System::Call 'advapi32::ConvertSidToStringSidW(p r1, *p .r3) i .r1'
      ${If} $1 != 0
        System::Call 'kernel32::lstrcpynW(w .R9, p r3, i ${NSIS_MAX_STRLEN})'
        System::Call 'kernel32::LocalFree(p r3)'
      ${EndIf}
      System::Call 'kernel32::LocalFree(p r2)'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Whether the folder $R8 is a link, or lies below a link that is not the
; system's own. Walks the existing part of the path from the drive down:
; what is still missing is created below it, by this installer. $R9 = the
; path up to the offending link, or "" when there is none.
Function FindLinkOnPath
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $4 ""
  StrLen $1 $R8
  ; After the drive's root ("C:\").
  StrCpy $0 3
  ${Do}
    ${If} $0 < $1
      StrCpy $2 $R8 1 $0
      ${If} $2 != "\"
        IntOp $0 $0 + 1
        ${Continue}
      ${EndIf}
    ${EndIf}
    StrCpy $3 $R8 $0
    System::Call 'kernel32::GetFileAttributesW(w r3) i .r2'
    ${If} $2 = -1
      ${Break}
    ${EndIf}
    IntOp $2 $2 & ${FILE_ATTRIBUTE_REPARSE_POINT}
    ${If} $2 <> 0
      ${If} $0 >= $1
        StrCpy $4 $3
        ${Break}
      ${EndIf}
      Push $R8
      StrCpy $R8 $3
      Call OwnerOfItself
      Pop $R8
      ${If} $R9 != "${SYSTEM_SID}"
      ${AndIf} $R9 != "${TRUSTED_INSTALLER_SID}"
        StrCpy $4 $3
        ${Break}
      ${EndIf}
    ${EndIf}
    ${If} $0 >= $1
      ${Break}
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
  StrCpy $R9 $4
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Gives $INSTDIR the protected access list and owner, through a handle on
; the folder itself: a link there (one made after the check of the path) is
; refused, not followed. $R9 = "ok", "link", or the failing call and its
; result.
Function ProtectInstallFolder
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${INSTDIR_SDDL}", i 1, *p .r1, p 0) i .r0'
  ${If} $0 == 0
    StrCpy $R9 "ConvertStringSecurityDescriptorToSecurityDescriptorW failed"
  ${Else}
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r1, *p .r2, *i .r4) i .r0'
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r4, *p .r3, *i .r4) i .r0'
    ; READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES
    System::Call 'kernel32::CreateFileW(w "$INSTDIR", i 0xE0080, ${OPEN_ITSELF}) p .r5 ?e'
    Pop $0
    ${If} $5 = -1
      StrCpy $R9 "CreateFileW failed with error $0"
    ${Else}
      ; BY_HANDLE_FILE_INFORMATION: its attributes come first.
      System::Alloc 52
      Pop $6
      System::Call 'kernel32::GetFileInformationByHandle(p r5, p r6) i .r0'
      System::Call '*$6(i .r4)'
      System::Free $6
      IntOp $4 $4 & ${FILE_ATTRIBUTE_REPARSE_POINT}
      ${If} $0 == 0
        StrCpy $R9 "GetFileInformationByHandle failed"
      ${ElseIf} $4 <> 0
        StrCpy $R9 "link"
      ${Else}
        ; SE_FILE_OBJECT; OWNER | DACL | PROTECTED_DACL.
        System::Call 'advapi32::SetSecurityInfo(p r5, i 1, i 0x80000005, p r2, p 0, p r3, p 0) i .r0'
        ${If} $0 == 0
          StrCpy $R9 "ok"
        ${Else}
          StrCpy $R9 "SetSecurityInfo returned $0"
        ${EndIf}
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r5)'
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

!macro Log TEXT
  Push `${TEXT}`
  Call Log
!macroend

; Creates the folder $R8 with the security descriptor SDDL (stack in), in one
; call, so it never exists with an inherited list. $R9 = "ok", or the error.
Function CreateFolderWithDescriptor
  Exch $0
  Push $1
  Push $2
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r0, i 1, *p .r1, p 0) i .r0 ?e'
  Pop $2
  ${If} $0 == 0
    StrCpy $R9 $2
  ${Else}
    ; SECURITY_ATTRIBUTES: nLength, padding, lpSecurityDescriptor, bInheritHandle, padding.
    System::Call '*(i 24, i 0, p r1, i 0, i 0) p .r2'
    System::Call 'kernel32::CreateDirectoryW(w R8, p r2) i .r0 ?e'
    System::Free $2
    Pop $2
    ${If} $0 == 0
      StrCpy $R9 $2
    ${Else}
      StrCpy $R9 "ok"
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Creates the service's state folder (the drive root of the Windows folder,
; then STATE_FOLDER) when nothing is there by its name. Whatever is there is
; left as it is: the service checks the folder's owner and links when it
; starts, before it opens any file there, and moves a foreign folder aside;
; nothing here opens a file in it. Best effort: the service creates a
; missing folder itself.
Function CreateStateFolder
  Push $R8
  StrCpy $R8 $WINDIR 3
  StrCpy $R8 "$R8${STATE_FOLDER}"
  Call FindLinkOnPath
  ${If} $R9 != ""
    ; Nothing is made or changed through it; the service moves it aside.
    !insertmacro Log "Leaving the state folder $R8 to the service's own check: $R9 is a link"
  ${ElseIf} ${FileExists} "$R8"
    !insertmacro Log "Leaving the state folder $R8 to the service's own check"
  ${Else}
    Push "${STATE_SDDL}"
    Call CreateFolderWithDescriptor
    ; ERROR_INVALID_OWNER
    ${If} $R9 == 1307
      Push "${STATE_SDDL_DEFAULT_OWNER}"
      Call CreateFolderWithDescriptor
    ${EndIf}
    ${If} $R9 == "ok"
      !insertmacro Log "Created the state folder $R8"
    ${Else}
      !insertmacro Log "Cannot create the state folder $R8 (error $R9): the service creates it"
    ${EndIf}
  ${EndIf}
  Pop $R8
FunctionEnd

; Logs the reason, puts back the programs this run moved aside, starts a
; service this run stopped (best effort), and ends the installer with CODE.
!macro Fail CODE TEXT
  Push `Installation failed: ${TEXT}`
  Call Log
  Call RestoreOldPrograms
  ${If} $StoppedService == 1
    Push '"$SYSDIR\net.exe" start "${SERVICE_NAME}"'
    Call Run
  ${EndIf}
  SetErrorLevel ${CODE}
  Quit
!macroend

!macro UnFail CODE TEXT
  Push `Uninstallation failed: ${TEXT}`
  Call un.Log
  SetErrorLevel ${CODE}
  Quit
!macroend

; Applied by LumenfeldProgramFiles to each program: the old copy is moved
; aside first (waiting while it is in use), then the new one written.
!macro ReplaceProgram NAME SOURCE
  Push "$INSTDIR\${NAME}"
  Call MoveAsideWithRetry
  ${If} $R9 != "ok"
    !insertmacro Fail ${EXIT_FILES} "cannot replace $INSTDIR\${NAME}"
  ${EndIf}
  ClearErrors
  File "/oname=${NAME}" "${SOURCE}"
  ${If} ${Errors}
    !insertmacro Fail ${EXIT_FILES} "cannot write $INSTDIR\${NAME}"
  ${EndIf}
  !insertmacro Log "Installed $INSTDIR\${NAME}"
!macroend

; Puts the old copy back where this run moved one aside.
!macro RestoreProgram NAME SOURCE
  ${If} ${FileExists} "$INSTDIR\${NAME}.old"
    Delete "$INSTDIR\${NAME}"
    ClearErrors
    Rename "$INSTDIR\${NAME}.old" "$INSTDIR\${NAME}"
    ${If} ${Errors}
      Push "Cannot put back $INSTDIR\${NAME}"
    ${Else}
      Push "Put back the old $INSTDIR\${NAME}"
    ${EndIf}
    Call Log
  ${EndIf}
!macroend

; Removes the old copy once the new one is in service (best effort).
!macro DropOldProgram NAME SOURCE
  Delete "$INSTDIR\${NAME}.old"
!macroend

!macro RemoveProgram NAME SOURCE
  Delete "$INSTDIR\${NAME}.old"
  Push "$INSTDIR\${NAME}"
  Call un.DeleteWithRetry
  ${If} $R9 != "ok"
    StrCpy $FilesLeft 1
  ${EndIf}
!macroend

!include "${FILE_LIST}"

Function RestoreOldPrograms
  ${If} $MovingPrograms == 1
    !insertmacro LumenfeldProgramFiles RestoreProgram
  ${EndIf}
FunctionEnd

; --- Installer

Function .onInit
  SetShellVarContext all
  SetRegView 64
  StrCpy $StoppedService 0
  StrCpy $MovingPrograms 0
  ; Until the install folder exists: a file of a new name, which no user
  ; can have made first.
  GetTempFileName $LogFile
FunctionEnd

Section "Lumenfeld Browser Service"
  SetErrorLevel 1
  ; Before anything looks into the folder: everything below follows links.
  Push $R8
  StrCpy $R8 $INSTDIR
  Call FindLinkOnPath
  Pop $R8
  ${If} $R9 != ""
    !insertmacro Fail ${EXIT_FOREIGN_FOLDER} "$INSTDIR is a link"
  ${EndIf}
  ; The uninstall entry is in HKLM, which only administrators can write.
  ${DirState} "$INSTDIR" $R0
  ${If} $R0 == 1
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 != $INSTDIR
      !insertmacro Fail ${EXIT_FOREIGN_FOLDER} "$INSTDIR already exists and holds other files"
    ${EndIf}
  ${EndIf}
  ClearErrors
  CreateDirectory "$INSTDIR"
  ${If} ${Errors}
  ${OrIfNot} ${FileExists} "$INSTDIR\*.*"
    !insertmacro Fail ${EXIT_FOLDER} "cannot create the folder $INSTDIR"
  ${EndIf}
  ; Whatever folder was chosen (one under a drive root inherits "users may
  ; modify"): nobody but administrators may replace what runs from it.
  Call ProtectInstallFolder
  ${If} $R9 == "link"
    !insertmacro Fail ${EXIT_FOREIGN_FOLDER} "$INSTDIR is a link"
  ${ElseIf} $R9 != "ok"
    !insertmacro Fail ${EXIT_ACCESS} "cannot set the access list of $INSTDIR: $R9"
  ${EndIf}
  Delete "$LogFile"
  StrCpy $LogFile "$INSTDIR\Setup.log"
  ; A log a user placed there before the list was set (a link, say) goes.
  Delete "$LogFile"
  !insertmacro Log "Installing ${SERVICE_NAME} version ${SERVICE_VERSION} into $INSTDIR"
  SetOutPath "$INSTDIR"
  Call CreateStateFolder

  Call QueryService
  StrCpy $R4 $R9
  ${If} $R4 == "active"
    !insertmacro Log "The service is running: stopping it"
    StrCpy $StoppedService 1
    Call StopService
    ${If} $R9 != "ok"
      !insertmacro Fail ${EXIT_STOP} "the service did not stop"
    ${EndIf}
  ${EndIf}

  ; The programs import system DLLs only, which the system looks for in the
  ; program's own folder first: a DLL there was put there by someone else,
  ; before the folder was protected, and would run as LocalSystem.
  FindFirst $R0 $R1 "$INSTDIR\*.dll"
  ${DoWhile} $R1 != ""
    ClearErrors
    Delete "$INSTDIR\$R1"
    ${If} ${Errors}
      FindClose $R0
      !insertmacro Fail ${EXIT_FILES} "cannot remove $INSTDIR\$R1"
    ${EndIf}
    !insertmacro Log "Removed $INSTDIR\$R1"
    FindNext $R0 $R1
  ${Loop}
  FindClose $R0

  StrCpy $MovingPrograms 1
  !insertmacro LumenfeldProgramFiles ReplaceProgram
  ClearErrors
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    !insertmacro Fail ${EXIT_FILES} "cannot write $INSTDIR\Uninstall.exe"
  ${EndIf}

  ${If} $R4 == "absent"
    Push '"$SYSDIR\sc.exe" create "${SERVICE_NAME}" ${SERVICE_SETTINGS}'
    Call Run
    ${If} $R9 != 0
      !insertmacro Fail ${EXIT_REGISTER} "cannot register the service"
    ${EndIf}
  ${Else}
    Push '"$SYSDIR\sc.exe" config "${SERVICE_NAME}" ${SERVICE_SETTINGS}'
    Call Run
    ${If} $R9 != 0
      ; A service manager client without "config": register afresh.
      !insertmacro Log "Registering the service afresh"
      Push '"$SYSDIR\sc.exe" delete "${SERVICE_NAME}"'
      Call Run
      Push '"$SYSDIR\sc.exe" create "${SERVICE_NAME}" ${SERVICE_SETTINGS}'
      Call Run
      ${If} $R9 != 0
        !insertmacro Fail ${EXIT_REGISTER} "cannot register the service"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Push '"$SYSDIR\sc.exe" description "${SERVICE_NAME}" "${SERVICE_DESCRIPTION}"'
  Call Run
  ${If} $R9 != 0
    !insertmacro Fail ${EXIT_REGISTER} "cannot set the service's description"
  ${EndIf}
  ; Restart after a minute, twice; then nothing; failures counted over a day.
  Push '"$SYSDIR\sc.exe" failure "${SERVICE_NAME}" reset= 86400 actions= restart/60000/restart/60000//0'
  Call Run
  ${If} $R9 != 0
    !insertmacro Fail ${EXIT_REGISTER} "cannot set the service's recovery actions"
  ${EndIf}

  ClearErrors
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\${SERVICE_EXE}"
  ; Error, warning and information events.
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7
  ${If} ${Errors}
    !insertmacro Fail ${EXIT_REGISTER} "cannot register the service's event source"
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${SERVICE_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${SERVICE_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Lumenfeld"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  Push '"$SYSDIR\net.exe" start "${SERVICE_NAME}"'
  Call Run
  ${If} $R9 != 0
    ; A service manager that has only just come up may time the first start out.
    Sleep 2000
    Call QueryService
    ${If} $R9 != "active"
      Push '"$SYSDIR\net.exe" start "${SERVICE_NAME}"'
      Call Run
      ${If} $R9 != 0
        !insertmacro Fail ${EXIT_START} "the service did not start"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $StoppedService 0
  StrCpy $MovingPrograms 0
  !insertmacro LumenfeldProgramFiles DropOldProgram
  !insertmacro Log "Installation complete"
  SetErrorLevel 0
SectionEnd

; --- Uninstaller

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  GetTempFileName $LogFile
  StrCpy $FilesLeft 0
FunctionEnd

Section "Uninstall"
  SetErrorLevel 1
  Push "Removing ${SERVICE_NAME} from $INSTDIR"
  Call un.Log
  Call un.QueryService
  ${If} $R9 != "absent"
    Call un.StopService
    ${If} $R9 != "ok"
      !insertmacro UnFail ${EXIT_STOP} "the service did not stop"
    ${EndIf}
    Push '"$SYSDIR\sc.exe" delete "${SERVICE_NAME}"'
    Call un.Run
    ${If} $R9 != 0
      !insertmacro UnFail ${EXIT_UNREGISTER} "cannot delete the service"
    ${EndIf}
  ${EndIf}

  !insertmacro LumenfeldProgramFiles RemoveProgram
  Delete "$INSTDIR\Setup.log"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  ; The state folder under ProgramData stays: a reinstall keeps the
  ; machine's rollout state and the log.
  ${If} $FilesLeft == 1
    !insertmacro UnFail ${EXIT_FILES} "some program files stay in $INSTDIR"
  ${EndIf}
  Push "Uninstallation complete"
  Call un.Log
  SetErrorLevel 0
SectionEnd
