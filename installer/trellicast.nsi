; Setup program of the Windows module. It finds the player's folder, closes a
; running player, puts gen_Trellicast.dll into the player's Plugins folder with
; an uninstaller beside it, and lists both in Windows' installed programs.
;
;   makensis -DVERSION=x.y.z -DMODULE=.../gen_Trellicast.dll -DLICENSE=.../LICENSE
;            -DOUTFILE=.../Trellicast-x.y.z-setup.exe [-DAMD64] trellicast.nsi
;
; AMD64 builds the 64-bit setup program of the x86_64 test build.
;
; Command line: /S silent, /D=FOLDER the player's folder (last, unquoted).
; The uninstaller: /S silent (keeps the settings), /REMOVESETTINGS also
; removes the settings key.
;
; Exit codes (setup and uninstaller):
;   0 done, 1 cancelled by the user, 2 aborted,
;   3 the folder holds no Winamp.exe (setup only),
;   4 the player was still running when the wait for it ended,
;   5 the module could not be written or removed.
; The uninstaller runs from a temporary copy of itself, and the program that
; starts the copy always ends with 0; run in place (_?=FOLDER) it returns the
; codes above.

!ifndef VERSION
  !error "VERSION is not defined (-DVERSION=x.y.z)"
!endif
!ifndef MODULE
  !error "MODULE is not defined (-DMODULE=path of gen_Trellicast.dll)"
!endif
!ifndef LICENSE
  !error "LICENSE is not defined (-DLICENSE=path of the licence text)"
!endif
!ifndef OUTFILE
  !error "OUTFILE is not defined (-DOUTFILE=path of the setup program)"
!endif

; The test build's setup program shows the same pages; only its file, its
; version resource and its installed-programs entry name the edition.
!ifdef AMD64
  Target amd64-unicode
  !define EDITION " (x64 test build)"
!else
  Unicode true
  !define EDITION ""
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define MODULE_NAME "gen_Trellicast.dll"
!define UNINSTALLER "uninstall-trellicast.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Trellicast"
!define SETTINGS_KEY "Software\Winamp\Trellicast"
!define PLAYER_KEY "Software\Winamp"
!define PLAYER_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp"
!define PLAYER_CLASS "Winamp v1.x"
!define PLAYER_EXIT_COMMAND 40001
!ifndef CLOSE_WAIT_MS
  !define CLOSE_WAIT_MS 10000
!endif
!define /math CLOSE_WAIT_S ${CLOSE_WAIT_MS} / 1000

!define EXIT_NO_PLAYER 3
!define EXIT_PLAYER_RUNNING 4
!define EXIT_WRITE_FAILED 5

Name "Trellicast ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "Trellicast ${VERSION}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true
ShowInstDetails show
ShowUninstDetails show
; No InstallDir: .onInit looks for the player unless /D names the folder.

; ---- Pages --------------------------------------------------------------------
!define MUI_ABORTWARNING
!define MUI_UNABORTWARNING

!define MUI_WELCOMEPAGE_TITLE "Trellicast ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "Trellicast reports what Winamp is playing to a web address of \
your choice.$\r$\n$\r$\nSetup puts the plug-in into Winamp's Plugins folder. If Winamp is \
running, Setup offers to close it first.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!define MUI_PAGE_HEADER_TEXT "Choose Winamp's Folder"
!define MUI_PAGE_HEADER_SUBTEXT "Trellicast ${VERSION} goes into its Plugins folder."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup installs Trellicast into the Plugins folder of Winamp. \
Choose the folder Winamp is installed in: the one that holds Winamp.exe."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Winamp folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "Trellicast ${VERSION} is installed"
!define MUI_FINISHPAGE_TEXT "The plug-in is in $INSTDIR\Plugins.$\r$\n$\r$\nStart Winamp, open \
Trellicast's configuration from the plug-in preferences, enter the address that receives the \
updates and tick $\"Enabled$\"."
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Trellicast"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Trellicast ${VERSION}${EDITION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (c) 2026 Trellicast developers"

; ---- Messages -----------------------------------------------------------------
!define MSG_NO_PLAYER "There is no Winamp.exe in$\r$\n$INSTDIR$\r$\n$\r$\nChoose the folder \
Winamp is installed in (the one that holds Winamp.exe). Trellicast goes into its Plugins folder."
!define MSG_ASK_CLOSE "Winamp is running. It has to be closed before Trellicast can be \
changed.$\r$\n$\r$\nClick OK to close Winamp now, or Cancel to stop."
!define MSG_STILL_RUNNING "Winamp did not close within ${CLOSE_WAIT_S} seconds.$\r$\n$\r$\nClose \
Winamp yourself, then click Retry; Cancel stops here and changes nothing."
!define MSG_KEEP_SETTINGS "Keep Trellicast's settings (address, interval, enabled) for a later \
installation?$\r$\n$\r$\nThey are stored under HKEY_LOCAL_MACHINE\${SETTINGS_KEY}."

; ---- The player's folder --------------------------------------------------------

; $0 as the registry may hold a folder or a program: without the quotes
; around it, without the program's file name when it names an .exe, and
; without trailing backslashes.
Function FolderOf
  Push $1
  Push $2
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    StrCpy $2 0
    ${Do}
      StrCpy $1 $0 1 $2
      ${IfThen} $1 == "" ${|} ${ExitDo} ${|}
      ${If} $1 == '"'
        StrCpy $0 $0 $2
        ${ExitDo}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
  ${EndIf}
  StrCpy $1 $0 4 -4
  ${If} $1 == ".exe"
    StrLen $2 $0
    ${Do}
      IntOp $2 $2 - 1
      ${If} $2 < 0
        StrCpy $0 ""
        ${ExitDo}
      ${EndIf}
      StrCpy $1 $0 1 $2
      ${If} $1 == "\"
        StrCpy $0 $0 $2
        ${ExitDo}
      ${EndIf}
    ${Loop}
  ${EndIf}
  ${Do}
    StrLen $2 $0
    StrCpy $1 $0 1 -1
    ${IfThen} $2 <= 3 ${|} ${ExitDo} ${|}
    ${IfThen} $1 != "\" ${|} ${ExitDo} ${|}
    StrCpy $0 $0 -1
  ${Loop}
  Pop $2
  Pop $1
FunctionEnd

; Where the player is: the folder its installer recorded for the user, else
; the folder of its uninstaller, else the usual place. The first of them
; that holds Winamp.exe wins; when none does, the first one found is shown
; and the folder page says what is missing. /D on the command line wins
; over all of them.
Function .onInit
  ${If} $INSTDIR != ""
    Return
  ${EndIf}
  StrCpy $3 ""
  ReadRegStr $0 HKCU "${PLAYER_KEY}" ""
  Call FolderOf
  ${If} $0 != ""
    ${If} ${FileExists} "$0\Winamp.exe"
      StrCpy $INSTDIR $0
      Return
    ${EndIf}
    StrCpy $3 $0
  ${EndIf}
  ReadRegStr $0 HKLM "${PLAYER_UNINSTALL_KEY}" "UninstallString"
  Call FolderOf
  ${If} $0 != ""
    ${If} ${FileExists} "$0\Winamp.exe"
      StrCpy $INSTDIR $0
      Return
    ${EndIf}
    ${IfThen} $3 == "" ${|} StrCpy $3 $0 ${|}
  ${EndIf}
  StrCpy $0 "$PROGRAMFILES\Winamp"
  ${If} ${FileExists} "$0\Winamp.exe"
  ${OrIf} $3 == ""
    StrCpy $3 $0
  ${EndIf}
  StrCpy $INSTDIR $3
FunctionEnd

Function DirectoryLeave
  ${IfNot} ${FileExists} "$INSTDIR\Winamp.exe"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${MSG_NO_PLAYER}"
    Abort
  ${EndIf}
FunctionEnd

; ---- A running player -------------------------------------------------------------

; Closes every window of class "Winamp v1.x" with the player's own exit
; command and waits at most CLOSE_WAIT_MS for its process to end. Asks
; before the first close unless silent. $R0 becomes "closed" (no player
; runs now), "cancelled" or "running".
!macro CLOSE_PLAYER_FUNCTION un
Function ${un}ClosePlayer
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  StrCpy $R1 0
  ${Do}
    FindWindow $R2 "${PLAYER_CLASS}"
    ${If} $R2 == 0
      StrCpy $R0 "closed"
      ${ExitDo}
    ${EndIf}
    ${If} $R1 == 0
      StrCpy $R1 1
      DetailPrint "Winamp is running."
      ${IfNot} ${Silent}
      ${AndIf} ${Cmd} `MessageBox MB_OKCANCEL|MB_ICONINFORMATION "${MSG_ASK_CLOSE}" IDCANCEL`
        StrCpy $R0 "cancelled"
        ${ExitDo}
      ${EndIf}
    ${EndIf}
    DetailPrint "Closing Winamp..."
    StrCpy $R3 0
    System::Call "user32::GetWindowThreadProcessId(p $R2, *i .R3)"
    System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i $R3) p .R4"
    System::Call "user32::PostMessage(p $R2, i ${WM_COMMAND}, p ${PLAYER_EXIT_COMMAND}, p 0)"
    ${If} $R4 != 0
      ; Ended once its process has: only then is the module unloaded.
      System::Call "kernel32::WaitForSingleObject(p $R4, i ${CLOSE_WAIT_MS}) i .R5"
      System::Call "kernel32::CloseHandle(p $R4)"
    ${Else}
      ; No handle to wait on: watch the window instead.
      StrCpy $R3 0
      ${Do}
        System::Call "user32::IsWindow(p $R2) i .R5"
        ${IfThen} $R5 == 0 ${|} ${ExitDo} ${|}
        Sleep 100
        IntOp $R3 $R3 + 100
      ${LoopUntil} $R3 >= ${CLOSE_WAIT_MS}
    ${EndIf}
    ${If} $R5 == 0
      ; Gone; look again, another player may be running.
      ${Continue}
    ${EndIf}
    DetailPrint "Winamp did not close within ${CLOSE_WAIT_S} seconds."
    ${If} ${Silent}
      StrCpy $R0 "running"
      ${ExitDo}
    ${EndIf}
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${MSG_STILL_RUNNING}" IDRETRY`
      StrCpy $R0 "running"
      ${ExitDo}
    ${EndIf}
  ${Loop}
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
FunctionEnd
!macroend
!insertmacro CLOSE_PLAYER_FUNCTION ""
!insertmacro CLOSE_PLAYER_FUNCTION "un."

; Stops the setup or the uninstaller with an exit code.
!macro STOP code text
  DetailPrint "${text}"
  SetErrorLevel ${code}
  Abort "${text}"
!macroend

; ---- Install ---------------------------------------------------------------------
Section "Trellicast" SectionModule
  SectionIn RO
  ; Checked here too: a silent setup shows no folder page.
  ${IfNot} ${FileExists} "$INSTDIR\Winamp.exe"
    MessageBox MB_OK|MB_ICONSTOP "${MSG_NO_PLAYER}" /SD IDOK
    !insertmacro STOP ${EXIT_NO_PLAYER} "No Winamp.exe in $INSTDIR."
  ${EndIf}

  Call ClosePlayer
  ${If} $R0 == "cancelled"
    !insertmacro STOP 1 "Cancelled: Winamp is still running."
  ${ElseIf} $R0 != "closed"
    !insertmacro STOP ${EXIT_PLAYER_RUNNING} "Winamp is still running; nothing was changed."
  ${EndIf}

  ; The new module goes in beside the old one first and takes its name
  ; only once the old one is gone, so a failure leaves the old one whole.
  SetOutPath "$INSTDIR\Plugins"
  SetOverwrite on
  Delete "$INSTDIR\Plugins\${MODULE_NAME}.new"
  ClearErrors
  File "/oname=${MODULE_NAME}.new" "${MODULE}"
  ${If} ${Errors}
    Delete "$INSTDIR\Plugins\${MODULE_NAME}.new"
    !insertmacro STOP ${EXIT_WRITE_FAILED} "Cannot write $INSTDIR\Plugins\${MODULE_NAME}."
  ${EndIf}
  Delete "$INSTDIR\Plugins\${MODULE_NAME}"
  ${If} ${FileExists} "$INSTDIR\Plugins\${MODULE_NAME}"
    Delete "$INSTDIR\Plugins\${MODULE_NAME}.new"
    MessageBox MB_OK|MB_ICONSTOP "Cannot replace $INSTDIR\Plugins\${MODULE_NAME}: it is in use. \
Close Winamp and run Setup again." /SD IDOK
    !insertmacro STOP ${EXIT_WRITE_FAILED} "Cannot replace $INSTDIR\Plugins\${MODULE_NAME}."
  ${EndIf}
  ClearErrors
  Rename "$INSTDIR\Plugins\${MODULE_NAME}.new" "$INSTDIR\Plugins\${MODULE_NAME}"
  ${If} ${Errors}
    Delete "$INSTDIR\Plugins\${MODULE_NAME}.new"
    !insertmacro STOP ${EXIT_WRITE_FAILED} "Cannot write $INSTDIR\Plugins\${MODULE_NAME}."
  ${EndIf}

  WriteUninstaller "$INSTDIR\Plugins\${UNINSTALLER}"

  FileOpen $0 "$INSTDIR\Plugins\${MODULE_NAME}" r
  FileSeek $0 0 END $1
  FileClose $0
  IntOp $1 $1 + 1023
  IntOp $1 $1 / 1024
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Trellicast ${VERSION}${EDITION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Trellicast developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR\Plugins"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Plugins\${UNINSTALLER},0"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
SectionEnd

; ---- Uninstall -------------------------------------------------------------------
Var RemoveSettings

Function un.onInit
  StrCpy $RemoveSettings 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    StrCpy $RemoveSettings 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.ClosePlayer
  ${If} $R0 == "cancelled"
    !insertmacro STOP 1 "Cancelled: Winamp is still running."
  ${ElseIf} $R0 != "closed"
    !insertmacro STOP ${EXIT_PLAYER_RUNNING} "Winamp is still running; nothing was changed."
  ${EndIf}

  Delete "$INSTDIR\${MODULE_NAME}"
  ${If} ${FileExists} "$INSTDIR\${MODULE_NAME}"
    MessageBox MB_OK|MB_ICONSTOP "Cannot remove $INSTDIR\${MODULE_NAME}: it is in use. Close \
Winamp and uninstall again." /SD IDOK
    !insertmacro STOP ${EXIT_WRITE_FAILED} "Cannot remove $INSTDIR\${MODULE_NAME}."
  ${EndIf}
  Delete "$INSTDIR\${UNINSTALLER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; The settings stay unless the user asks otherwise: a later setup then
  ; finds them as they were.
  ${If} $RemoveSettings == 0
  ${AndIfNot} ${Silent}
  ${AndIf} ${Cmd} `MessageBox MB_YESNO|MB_ICONQUESTION "${MSG_KEEP_SETTINGS}" IDNO`
    StrCpy $RemoveSettings 1
  ${EndIf}
  ${If} $RemoveSettings == 1
    DeleteRegKey HKLM "${SETTINGS_KEY}"
    DetailPrint "Removed the settings."
  ${Else}
    DetailPrint "Kept the settings under HKEY_LOCAL_MACHINE\${SETTINGS_KEY}."
  ${EndIf}
SectionEnd
