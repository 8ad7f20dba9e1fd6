#!/usr/bin/env python3
# check_imports.py OBJDUMP PROGRAM.exe: fails when the Windows program needs a DLL that does
# not ship with Windows, such as the MinGW runtime DLLs that a non-static link pulls in,
# or does not import the file dialogs.
import re, subprocess, sys

# DLLs of Windows itself (lower case); api-ms-win-* are its API sets.
SYSTEM_DLLS = {"advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "gdi32.dll",
               "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll",
               "shell32.dll", "shlwapi.dll", "ucrtbase.dll", "user32.dll", "version.dll",
               "ws2_32.dll"}
dump = subprocess.run([sys.argv[1], "-p", sys.argv[2]], capture_output=True, text=True, check=True)
dlls = [d.lower() for d in re.findall(r"^\s*DLL Name:\s*(\S+)\s*$", dump.stdout, re.MULTILINE)]
foreign = [d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")]
print("%s imports: %s" % (sys.argv[2], ", ".join(dlls) or "nothing"))
if "comdlg32.dll" not in dlls:
    sys.exit("FAIL: no import of comdlg32.dll: the file dialogs are missing or the dump was not understood")
if foreign:
    sys.exit("FAIL: needs DLLs that do not ship with Windows: " + ", ".join(foreign))
