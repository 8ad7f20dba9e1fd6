"""Fails when the Windows program needs a DLL that does not ship with Windows, such as
the MinGW runtime DLLs that a non-static link would pull in.

Usage: check_imports.py OBJDUMP PROGRAM.exe
"""
import re
import subprocess
import sys

# DLLs of Windows itself (lower case); api-ms-win-* are its API sets.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "gdi32.dll",
    "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "shell32.dll",
    "shlwapi.dll", "ucrtbase.dll", "user32.dll", "version.dll", "ws2_32.dll",
}


def imported_dlls(objdump, program):
    dump = subprocess.run([objdump, "-p", program], capture_output=True, text=True, check=True)
    return re.findall(r"^\s*DLL Name:\s*(\S+)\s*$", dump.stdout, re.MULTILINE)


def main():
    objdump, program = sys.argv[1:3]
    dlls = imported_dlls(objdump, program)
    foreign = [d for d in dlls
               if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-")]
    print("%s imports: %s" % (program, ", ".join(dlls) or "nothing"))
    if "comdlg32.dll" not in [d.lower() for d in dlls]:
        print("FAIL: no import of comdlg32.dll: the file dialogs are missing or the dump "
              "was not understood")
        return 1
    if foreign:
        print("FAIL: needs DLLs that do not ship with Windows: " + ", ".join(foreign))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
