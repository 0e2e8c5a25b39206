; Telvoro for Windows: a per-machine installer of the staged folder
; (cmake --install build-windows --prefix STAGE). Built by scripts/package-windows, or by hand:
;   makensis -INPUTCHARSET UTF8 -DVERSION=0.1 -DSTAGE=/abs/path/STAGE [-DFILEVERSION=0.1.0.0] [-DICON=telvoro.ico]
;            [-DOUTFILE=telvoro-0.1-setup.exe] telvoro.nsi
; Saved as UTF-8 with a byte-order mark so the Chinese names reach NSIS intact under any locale.

Unicode true
; The program is 64-bit only; a 64-bit installer also runs under a Wine without 32-bit support,
; and sees the 64-bit Program Files and registry without redirection.
Target amd64-unicode

!ifndef VERSION
  !error "pass -DVERSION=X.Y[.Z]"
!endif
!ifndef STAGE
  !error "pass -DSTAGE=/absolute/path/of/the/staged/folder"
!endif
!ifdef NSIS_WIN32_MAKENSIS
  !error "the file lists below are made with a POSIX shell: build with Linux makensis"
!endif
!ifndef OUTFILE
  !define OUTFILE "telvoro-${VERSION}-setup.exe"
!endif

!define PRODUCT "Telvoro"
!define SHORTCUT "短信发送"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Telvoro"

; The uninstaller removes exactly what was installed: both lists come from the staged folder
; as it is now, so no "RMDir /r" can ever reach a folder the user chose or filled.
!tempfile FILE_LISTS
; Linux makensis turns every backslash in a !system command into a slash, hence %c 92 and 34.
!system `set -e; cd "${STAGE}"; test -f telvoro.exe; \
  if find . -name '*[$"]*' | grep .; then echo 'names with $ or " cannot be packaged'; exit 1; fi; \
  { find . -type d | sed 's/^/d /'; find . -type f | sed 's/^/f /'; } | LC_ALL=C sort | \
  awk -v stage="$PWD" ' \
    function win(p,  n, parts, w, i) { n = split(p, parts, "/"); w = parts[1]; \
      for (i = 2; i <= n; i++) w = w bs parts[i]; return w } \
    BEGIN { bs = sprintf("%c", 92); q = sprintf("%c", 34) } \
    { p = substr($0, 5); if (substr($0, 1, 1) == "d") dirs[++nd] = p; else files[++nf] = p } \
    END { print "!macro TelvoroInstallFiles"; \
      for (d = 1; d <= nd; d++) { print "  SetOutPath " q "$INSTDIR" (dirs[d] == "" ? "" : bs win(dirs[d])) q; \
        for (f = 1; f <= nf; f++) { dir = ""; if (match(files[f], "/[^/]*$")) dir = substr(files[f], 1, RSTART - 1); \
          if (dir == dirs[d]) print "  File " q stage "/" files[f] q } } \
      print "!macroend"; print "!macro TelvoroRemoveFiles"; \
      for (f = 1; f <= nf; f++) print "  Delete /REBOOTOK " q "$INSTDIR" bs win(files[f]) q; \
      for (d = nd; d > 1; d--) print "  RMDir /REBOOTOK " q "$INSTDIR" bs win(dirs[d]) q; \
      print "!macroend" }' > "${FILE_LISTS}"` = 0
!include /CHARSET=UTF8 "${FILE_LISTS}"
!delfile "${FILE_LISTS}"

; Windows wants four numbers for the file version; scripts/package-windows derives them from VERSION.
!ifndef FILEVERSION
  !define FILEVERSION "0.0.0.0"
!endif

Name "${PRODUCT} ${SHORTCUT}"
OutFile "${OUTFILE}"
; No directory page: the program keeps its data in %APPDATA%\Telvoro only when it runs from
; under Program Files; elsewhere it would write beside itself. /D= still works for admins.
InstallDir "$PROGRAMFILES64\Telvoro"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${FILEVERSION}"
VIFileVersion "${FILEVERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PRODUCT}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WinVer.nsh"

; The program carries its icon; the installer's own comes from the same picture.
!ifdef ICON
  !define MUI_ICON "${ICON}"
  !define MUI_UNICON "${ICON}"
!endif
!define APP_ICON "$INSTDIR\telvoro.exe"
!define MUI_ABORTWARNING

; A page to confirm on before anything is written.
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The first is the fallback; otherwise the user's display language picks.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString NeedsWin10 ${LANG_SIMPCHINESE} "本程序需要 64 位 Windows 10（1809 版）或更新的版本。"
LangString NeedsWin10 ${LANG_ENGLISH} "Telvoro needs 64-bit Windows 10 (version 1809) or later."

Function .onInit
  ; Qt 6 runs on Windows 10 1809 (build 17763) and later only.
  ${IfNot} ${AtLeastBuild} 17763
    MessageBox MB_OK|MB_ICONSTOP "$(NeedsWin10)" /SD IDOK
    Abort
  ${EndIf}
  ; The shortcut is for every user, as the program is.
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section "Install"
  ; An earlier installation here goes first, by its own list, so no file it had and this
  ; version lacks is left behind. _?= makes it run in place, so ExecWait waits for it.
  ${If} ${FileExists} "$INSTDIR\uninstall.exe"
    ExecWait '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
    Delete "$INSTDIR\uninstall.exe"
  ${EndIf}

  !insertmacro TelvoroInstallFiles
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The working folder of the shortcut is the install folder ($OUTDIR), which the program never writes.
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}.lnk" "$INSTDIR\telvoro.exe" "" "${APP_ICON}" 0

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT} ${SHORTCUT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "${APP_ICON}"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; Only what the installer put here; %APPDATA%\Telvoro holds the user's account and lists and stays.
  Delete "$SMPROGRAMS\${SHORTCUT}.lnk"
  !insertmacro TelvoroRemoveFiles
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
