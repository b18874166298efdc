; TarvelSetup.exe: installs Tarvel.ocx for 32-bit hosts and, on 64-bit Windows, for 64-bit hosts
; too, registers both, and leaves an uninstaller with an Apps (Add/Remove Programs) entry.
;
;   TarvelSetup.exe [/S] [/ALLUSERS | /CURRENTUSER] [/D=folder]
;
; /ALLUSERS (the default for administrators): Program Files, regsvr32, entry under HKLM.
; /CURRENTUSER (the default for users who cannot elevate): the user's own programs folder,
; TarvelUserReg.exe (HKCU\Software\Classes only), entry under HKCU; no administrator rights.
; /S installs without any window, for scripted deployment; the exit code is 0 when everything
; was registered, 2 when a module's registration failed (its files stay, so the uninstaller
; can still take them away). The uninstaller takes /S as well.
;
; Built by the x64 build (target tarvel_setup) with the module paths given as defines:
;   X86_MODULE, X86_USERREG, X64_MODULE, X64_USERREG, OUTFILE

Unicode true
!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "nsDialogs.nsh"

!ifndef X86_MODULE | X86_USERREG | X64_MODULE | X64_USERREG | OUTFILE
  !error "tarvel.nsi needs /DX86_MODULE= /DX86_USERREG= /DX64_MODULE= /DX64_USERREG= /DOUTFILE="
!endif

; The product version is the module's own, so the Apps entry cannot disagree with the file.
!getdllversion "${X64_MODULE}" TARVEL_VER_
!define TARVEL_VERSION "${TARVEL_VER_1}.${TARVEL_VER_2}"

!define PRODUCT "Tarvel Serial Port Control"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; Administrators get elevated for a machine-wide install; everyone else runs as they are and
; installs for themselves.
RequestExecutionLevel highest
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${TARVEL_VER_1}.${TARVEL_VER_2}.${TARVEL_VER_3}.${TARVEL_VER_4}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${TARVEL_VERSION}"
VIAddVersionKey "ProductVersion" "${TARVEL_VERSION}"
VIAddVersionKey "LegalCopyright" ""

Var PerUser      ; 1: install for the current user only
Var DirGiven     ; 1: the folder came from /D=, so a change of mode keeps it
Var AllUsersRadio
Var CurrentUserRadio

Page custom ModePage ModePageLeave
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; ---- choosing the mode ------------------------------------------------------------------------

Function ApplyMode
  ${If} $PerUser == 1
    SetShellVarContext current
  ${Else}
    SetShellVarContext all
  ${EndIf}
  ${If} $DirGiven == 1
    Return
  ${EndIf}
  ${If} $PerUser == 1
    StrCpy $INSTDIR "$LOCALAPPDATA\Programs\Tarvel"
  ${ElseIf} ${RunningX64}
    StrCpy $INSTDIR "$PROGRAMFILES64\Tarvel"
  ${Else}
    StrCpy $INSTDIR "$PROGRAMFILES\Tarvel"
  ${EndIf}
FunctionEnd

Function .onInit
  ; The Apps entry and everything the modules write belong in the 64-bit view there.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  StrCpy $DirGiven 0
  ${If} $INSTDIR != ""
    StrCpy $DirGiven 1
  ${EndIf}
  StrCpy $PerUser 0
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    StrCpy $PerUser 1
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CURRENTUSER" $R1
  ${IfNot} ${Errors}
    StrCpy $PerUser 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${IfNot} ${Errors}
    StrCpy $PerUser 0
  ${EndIf}
  Call ApplyMode
FunctionEnd

Function ModePage
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "Install the control for everyone on this computer (needs administrator rights) or for you alone?"
  Pop $0
  ${NSD_CreateRadioButton} 10u 30u 100% 12u "For all users (registered machine-wide)"
  Pop $AllUsersRadio
  ${NSD_CreateRadioButton} 10u 46u 100% 12u "Only for me (no administrator rights needed)"
  Pop $CurrentUserRadio
  ${If} $PerUser == 1
    ${NSD_Check} $CurrentUserRadio
  ${Else}
    ${NSD_Check} $AllUsersRadio
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $CurrentUserRadio $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $PerUser 1
  ${Else}
    StrCpy $PerUser 0
  ${EndIf}
  Call ApplyMode
FunctionEnd

; ---- registration -----------------------------------------------------------------------------

; Registers ($1 = "") or unregisters ($1 = "/u") the module in folder $0 (x86 or x64 under
; $INSTDIR). Machine-wide through the regsvr32 of the module's own architecture, per user
; through the TarvelUserReg.exe installed beside it. Leaves the exit code in $2.
!macro REGISTRATION_FUNCTION prefix
Function ${prefix}RunRegistration
  ${If} $PerUser == 1
    ExecWait '"$INSTDIR\$0\TarvelUserReg.exe" $1 /s "$INSTDIR\$0\Tarvel.ocx"' $2
  ${ElseIf} $0 == "x64"
    ; The installer is a 32-bit program: System32 is the 64-bit one only without redirection.
    ${DisableX64FSRedirection}
    ExecWait '"$SYSDIR\regsvr32.exe" $1 /s "$INSTDIR\$0\Tarvel.ocx"' $2
    ${EnableX64FSRedirection}
  ${Else}
    ExecWait '"$SYSDIR\regsvr32.exe" $1 /s "$INSTDIR\$0\Tarvel.ocx"' $2
  ${EndIf}
  ${If} ${Errors}
    StrCpy $2 "not started"
  ${EndIf}
  DetailPrint "Tarvel.ocx ($0) $1: $2"
FunctionEnd
!macroend
!insertmacro REGISTRATION_FUNCTION ""
!insertmacro REGISTRATION_FUNCTION "un."

Function RegisterModule
  ClearErrors
  StrCpy $1 ""
  Call RunRegistration
  ${If} $2 != 0
    MessageBox MB_ICONSTOP "The $0 Tarvel.ocx could not be registered (code $2)." /SD IDOK
    SetErrorLevel 2
  ${EndIf}
FunctionEnd

; ---- install ----------------------------------------------------------------------------------

Section "Tarvel control"
  ; The user's programs folder may not exist yet: if this install makes it, the uninstall
  ; takes it away again (when nothing else has moved in).
  StrCpy $R9 0
  ${If} $PerUser == 1
  ${AndIfNot} ${FileExists} "$LOCALAPPDATA\Programs\*.*"
    StrCpy $R9 1
  ${EndIf}
  SetOutPath "$INSTDIR\x86"
  File "/oname=Tarvel.ocx" "${X86_MODULE}"
  File "/oname=TarvelUserReg.exe" "${X86_USERREG}"
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    File "/oname=Tarvel.ocx" "${X64_MODULE}"
    File "/oname=TarvelUserReg.exe" "${X64_USERREG}"
  ${EndIf}
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; SHCTX is HKLM or HKCU as SetShellVarContext chose.
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayVersion" "${TARVEL_VERSION}"
  WriteRegStr SHCTX "${UNINST_KEY}" "Publisher" "QUENBY"
  WriteRegStr SHCTX "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINST_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr SHCTX "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoRepair" 1
  WriteRegDWORD SHCTX "${UNINST_KEY}" "MadeProgramsFolder" $R9
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "${UNINST_KEY}" "EstimatedSize" "$0"

  StrCpy $0 "x86"
  Call RegisterModule
  ${If} ${RunningX64}
    StrCpy $0 "x64"
    Call RegisterModule
  ${EndIf}
SectionEnd

; ---- uninstall --------------------------------------------------------------------------------

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ; The entry in the user's hive that names this folder marks a per-user install.
  StrCpy $PerUser 0
  ReadRegStr $0 HKCU "${UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $PerUser 1
  ${EndIf}
  ${If} $PerUser == 1
    SetShellVarContext current
  ${Else}
    SetShellVarContext all
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; Unregistering first, while the modules are still there to say what they wrote.
  StrCpy $1 "/u"
  ${If} ${FileExists} "$INSTDIR\x64\Tarvel.ocx"
    ClearErrors
    StrCpy $0 "x64"
    Call un.RunRegistration
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\x86\Tarvel.ocx"
    ClearErrors
    StrCpy $0 "x86"
    Call un.RunRegistration
  ${EndIf}
  ReadRegDWORD $R9 SHCTX "${UNINST_KEY}" "MadeProgramsFolder"
  DeleteRegKey SHCTX "${UNINST_KEY}"

  ; Only what the installer put there: a folder that still holds something else stays.
  Delete "$INSTDIR\x64\Tarvel.ocx"
  Delete "$INSTDIR\x64\TarvelUserReg.exe"
  RMDir "$INSTDIR\x64"
  Delete "$INSTDIR\x86\Tarvel.ocx"
  Delete "$INSTDIR\x86\TarvelUserReg.exe"
  RMDir "$INSTDIR\x86"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ${If} $PerUser == 1
  ${AndIf} $R9 == 1
    RMDir "$LOCALAPPDATA\Programs"
  ${EndIf}
SectionEnd
