// The names of the options a project holds ("Name=value" lines, command-line -P: pairs).
// Letter case does not count when they are looked up.
#pragma once

namespace orvelle::option {

inline constexpr char kSource[] = "Source";
inline constexpr char kTarget[] = "Target";
inline constexpr char kSubdir[] = "Subdir";
inline constexpr char kRenameSource[] = "RenameSource";
inline constexpr char kKeepFileTime[] = "KeepFileTime";
inline constexpr char kDeleteSource[] = "DeleteSource";
inline constexpr char kMacroEnabled[] = "MacroEnabled";
inline constexpr char kPureConsole[] = "PureConsole";
inline constexpr char kKeepTargetSubdirs[] = "KeepTargetSubdirs";
inline constexpr char kThreadsCount[] = "ThreadsCount";
inline constexpr char kDaemon[] = "Daemon";
inline constexpr char kIsOverwrite[] = "IsOverwrite";
inline constexpr char kRunAndClose[] = "RunAndClose";
inline constexpr char kRegExt[] = "RegExt";
inline constexpr char kSkipHidden[] = "SkipHidden";
inline constexpr char kEngine[] = "Engine";
inline constexpr char kPassword[] = "Password";
inline constexpr char kReport[] = "Report";
inline constexpr char kLogFile[] = "LogFile";

}  // namespace orvelle::option
