; The Windows installer, in Simplified Chinese. Built by scripts/windows-build.sh:
; makensis -DVERSION=… -DSOURCE=<program folder> -DICON=<.ico> -DOUTFILE=<setup.exe>
; Installs per user without administrator rights by default, or for all users
; (/ALLUSERS, or the choice on the first page, as an administrator). Silent
; with /S, into the folder /D= names. The uninstaller removes exactly the files,
; shortcuts and keys the installer added: files.nsh lists them.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel user

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

!define PRODUCT "Quorvin PDF 批量处理"
!define FOLDER "Quorvin PDF Batch"
!define EXE "quorvin-pdf-batch.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvinPdfBatch"
!define VERB_NAME "QuorvinPdfBatch"
!define VERB_TEXT "用 Quorvin PDF 批量处理"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${FOLDER}"
BrandingText "Quorvin"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "CompanyName" "Quorvin"
VIAddVersionKey /LANG=2052 "LegalCopyright" "© Quorvin"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"

Var AllUsers
Var ScopeMine
Var ScopeAll

Page custom ScopePage ScopeLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
    StrCpy $AllUsers 0
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/ALLUSERS" $1
    ${IfNot} ${Errors}
        Call UseAllUsers
    ${EndIf}
FunctionEnd

Function UseAllUsers
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP "为所有用户安装需要管理员权限。请右键单击安装程序，选择“以管理员身份运行”。" /SD IDOK
        Abort
    ${EndIf}
    StrCpy $AllUsers 1
    SetShellVarContext all
    ; /D= names the folder before .onInit runs; keep it when given.
    StrCmp $INSTDIR "$LOCALAPPDATA\Programs\${FOLDER}" 0 +2
    StrCpy $INSTDIR "$PROGRAMFILES64\${FOLDER}"
FunctionEnd

Function ScopePage
    !insertmacro MUI_HEADER_TEXT "安装范围" "选择为谁安装 ${PRODUCT}。"
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateRadioButton} 0 10u 100% 12u "仅为我安装（推荐，无需管理员权限）"
    Pop $ScopeMine
    ${NSD_CreateRadioButton} 0 30u 100% 12u "为这台电脑的所有用户安装（需要管理员权限）"
    Pop $ScopeAll
    ${If} $AllUsers == 1
        ${NSD_Check} $ScopeAll
    ${Else}
        ${NSD_Check} $ScopeMine
    ${EndIf}
    nsDialogs::Show
FunctionEnd

Function ScopeLeave
    ${NSD_GetState} $ScopeAll $0
    ${If} $0 == ${BST_CHECKED}
    ${AndIf} $AllUsers == 0
        Call UseAllUsers
    ${ElseIf} $0 != ${BST_CHECKED}
    ${AndIf} $AllUsers == 1
        StrCpy $AllUsers 0
        SetShellVarContext current
        StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${FOLDER}"
    ${EndIf}
FunctionEnd

Section "Install"
    SetOutPath "$INSTDIR"
    !include "files.nsh"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${EXE}"
    ; Send To passes every selected file to one process; it is a per-user folder.
    SetShellVarContext current
    CreateShortcut "$SENDTO\${PRODUCT}.lnk" "$INSTDIR\${EXE}"
    ${If} $AllUsers == 1
        SetShellVarContext all
    ${EndIf}

    ; SHCTX is HKCU for this user, HKLM for all users.
    WriteRegStr SHCTX "Software\Classes\SystemFileAssociations\.pdf\shell\${VERB_NAME}" "" "${VERB_TEXT}"
    WriteRegStr SHCTX "Software\Classes\SystemFileAssociations\.pdf\shell\${VERB_NAME}" "Icon" "$INSTDIR\${EXE}"
    WriteRegStr SHCTX "Software\Classes\SystemFileAssociations\.pdf\shell\${VERB_NAME}" "MultiSelectModel" "Player"
    WriteRegStr SHCTX "Software\Classes\SystemFileAssociations\.pdf\shell\${VERB_NAME}\command" "" '"$INSTDIR\${EXE}" "%1"'
    WriteRegStr SHCTX "Software\Classes\Directory\shell\${VERB_NAME}" "" "${VERB_TEXT}"
    WriteRegStr SHCTX "Software\Classes\Directory\shell\${VERB_NAME}" "Icon" "$INSTDIR\${EXE}"
    WriteRegStr SHCTX "Software\Classes\Directory\shell\${VERB_NAME}\command" "" '"$INSTDIR\${EXE}" "%1"'

    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Quorvin"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "AllUsers" $AllUsers
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
    ; An all-users install records itself under HKLM.
    StrCpy $AllUsers 0
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AllUsers"
    ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == 1
    ${AndIf} $1 == $INSTDIR
        StrCpy $AllUsers 1
        SetShellVarContext all
    ${EndIf}
FunctionEnd

Section "Uninstall"
    !include "unfiles.nsh"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    SetShellVarContext current
    Delete "$SENDTO\${PRODUCT}.lnk"
    ${If} $AllUsers == 1
        SetShellVarContext all
    ${EndIf}
    DeleteRegKey SHCTX "Software\Classes\SystemFileAssociations\.pdf\shell\${VERB_NAME}"
    DeleteRegKey /ifempty SHCTX "Software\Classes\SystemFileAssociations\.pdf\shell"
    DeleteRegKey /ifempty SHCTX "Software\Classes\SystemFileAssociations\.pdf"
    DeleteRegKey SHCTX "Software\Classes\Directory\shell\${VERB_NAME}"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
