// The file choosers on Windows: the system's common open and save dialogs.
// windows.h must come first: commdlg.h builds on its types.
#include <windows.h>

#include <commdlg.h>

#include <cstring>

#include "select/choosers.h"

namespace {

// Hide the read-only box, keep the current folder, require the typed folder to exist.
constexpr DWORD kDialogOptions = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;

// The older record layout. Its size differs between 32- and 64-bit builds, so it comes
// from the headers; a fixed number would make every dialog fail in a 64-bit build.
void fill_dialog_record(OPENFILENAMEA* record, char* path, const char* title) {
  std::memset(record, 0, sizeof *record);
  record->lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  record->lpstrFile = path;
  record->nMaxFile = kPathCapacity;
  record->lpstrInitialDir = ".\\";
  record->lpstrTitle = title;
  record->Flags = kDialogOptions;
}

using Dialog = BOOL(WINAPI*)(OPENFILENAMEA*);

// True when `name` holds a character that no Windows file name may hold. Such a name
// suggested by the patch cannot be pre-filled: some dialogs fail on it, and under Wine a
// ':' crashes the save dialog.
bool has_forbidden_character(const char* name) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c != '\0'; ++c) {
    if (*c < 0x20 || std::strchr("<>:\"|?*", *c) != nullptr) return true;
  }
  return false;
}

// A pre-filled name that Windows cannot take makes the dialog fail before it is shown;
// every retry would fail the same way, so it is shown once more with an empty name.
ChooserResult show_dialog(Dialog dialog, char* path, const char* title) {
  if (has_forbidden_character(path)) path[0] = '\0';
  OPENFILENAMEA record;
  fill_dialog_record(&record, path, title);
  if (dialog(&record)) return ChooserResult::chosen;
  if (CommDlgExtendedError() != FNERR_INVALIDFILENAME) return ChooserResult::cancelled;
  path[0] = '\0';
  return dialog(&record) ? ChooserResult::chosen : ChooserResult::cancelled;
}

// A name typed in quotes comes back with them; no Windows name holds a quote or a line
// end, so the answer is cut there.
ChooserResult cleaned(ChooserResult result, char* path) {
  if (result == ChooserResult::chosen) clean_chosen_path(path);
  return result;
}

}  // namespace

ChooserResult choose_file_to_open(char* path, const char* title) {
  return cleaned(show_dialog(GetOpenFileNameA, path, title), path);
}

ChooserResult choose_file_to_save(char* path, const char* title) {
  return cleaned(show_dialog(GetSaveFileNameA, path, title), path);
}
