#pragma once

// The errors of installing the VODUVE tools: domain "OrvantaCorvel". The user sees the message
// unchanged; the codes are what callers and stored reports compare.

namespace corvel::voduvetools {

inline constexpr const char* kCorvelErrorDomain = "OrvantaCorvel";

// voduve-kb.ini: not UTF-8 when read or when registering, or changed by another program while
// it was being updated.
inline constexpr int kKeymapReadNotUtf8Code = 2101;
inline constexpr int kKeymapRegisterNotUtf8Code = 2102;
inline constexpr int kKeymapChangedCode = 2103;
inline constexpr const char* kKeymapNotUtf8Message = "voduve-kb.ini is not valid UTF-8.";
inline constexpr const char* kKeymapChangedMessage =
    "voduve-kb.ini was changed by another program during the update. It was left as that program wrote it and "
    "nothing was changed. Close any program that edits voduve-kb.ini, then try again.";

// The tool files: a resource of the application missing, a different file in a tool file's
// place, an installed file that doesn't match its resource. Their messages name the file.
inline constexpr int kMissingResourceCode = 2201;
inline constexpr int kDifferentFileExistsCode = 2202;
inline constexpr int kInstalledFileMismatchCode = 2203;
// What the user can do about a different file in a tool file's place (code 2202).
inline constexpr const char* kDifferentFileAdvice =
    "To install this tool, move that file to another folder (or delete it), then install again.";

// The install refused before anything is written. The message of two tools asking for one
// shortcut (2304) names them: sharedShortcutMessage.
inline constexpr int kNotAResourceFolderCode = 2301;
inline constexpr int kVoduveRunningCode = 2302;
inline constexpr int kNothingSelectedCode = 2303;
inline constexpr int kSharedShortcutCode = 2304;
inline constexpr const char* kNotAResourceFolderMessage =
    "The selected folder does not look like a VODUVE resource folder.";
inline constexpr const char* kVoduveRunningMessage =
    "VODUVE is currently running. Quit VODUVE before installing scripts or changing shortcuts.";
inline constexpr const char* kNothingSelectedMessage = "Select at least one tool to install.";

}  // namespace corvel::voduvetools
