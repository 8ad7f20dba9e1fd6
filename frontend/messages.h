// Every text the program writes to standard output.
#pragma once

namespace msg {

inline constexpr char kPatchFileName[] = "Amber Reaches update.dat";

inline constexpr char kBanner[] = "Quorvalex - This will APPLY a patch...\n\n";
inline constexpr char kPatchMissing[] = "Can't find the patch file \"%s\" - hit any key to quit.\n";

inline constexpr char kNotValid[] = "\"%s\" is not a valid Quorvalex file.\n";
inline constexpr char kNotValidAfterName[] = "\n\"%s\" is not a valid Quorvalex file.\n";
inline constexpr char kOriginalNamed[] = "\nThis Patch was generated from...\n -> orig-file \"%s\"";
inline constexpr char kNewNamed[] = "\n ->  new-file \"%s\"\n\n";

inline constexpr char kChooseOriginal[] =
    "Choose the file \"%s\" (probably in Vardoun\\plugins folder)\n";
inline constexpr char kChooseNew[] =
    "Choose where to save the new file \"%s\" (Vardoun\\plugins folder is a good place)\n";
inline constexpr char kOriginalTitle[] = "Select \"%s\"";
inline constexpr char kNewTitle[] = "Where should the file \"%s\" be saved?";
inline constexpr char kChooserCancelled[] = "Hit Enter to try again, or close window to exit\n";
inline constexpr char kOpenFailed[] = "Sorry, can't open that file.  Try again...\n";

inline constexpr char kSavingTo[] = "saving to: %s.\n";
inline constexpr char kWrongOriginal[] =
    "'Old' file is different from the one used to create this patch\n";
inline constexpr char kWriteFailed[] =
    "Can't write the new file \"%s\" (%s) - hit any key to quit.\n";
// The reason of a write failure after which the complete new file was kept.
inline constexpr char kCompleteFileKept[] = "%s; the complete new file is kept as \"%s\"";
inline constexpr char kComplete[] = "\nPatching complete.\n";

}  // namespace msg
