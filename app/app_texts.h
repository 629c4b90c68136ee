// Every text the program shows, as it shows it.
#pragma once

namespace text {
inline constexpr char kDialogTitle[] = "Stelvarion Boot Utility";
inline constexpr char kMonitorWindowTitle[] = "StelvarionMonitorProgram";
inline constexpr char kAlreadyRunning[] = "Application is already running.";
inline constexpr char kStartedFromKey[] = "This program cannot be started from Stelvarion.\nIt will now terminate.";
inline constexpr char kNotFoundLine[] = "< Stelvarion not found >";
inline constexpr char kSeveralKeysLine[] = "< Insert only 1 Stelvarion to make bootable >";
inline constexpr char kMegabytesSuffix[] = " MB";
inline constexpr char kTooManyCharacters[] = "Please enter no more than 11 characters.";
inline constexpr char kInvalidLabel[] =
    "A volume label cannot contain any of the following characters.\n\\/|\".?,;:*+=<>[]\n\n"
    "Please enter a valid volume label.";
inline constexpr char kFormatWarningCaption[] = "Format Warning";
inline constexpr char kFormatWarning[] =
    "Formatting the disk will erase all data in the Stelvarion.\nTo format the disk, click 'OK'.\n"
    "To quit, click 'Cancel'.";
inline constexpr char kNoDeviceInformation[] = "Fail to obtain device information";
inline constexpr char kSuccessful[] = "Successful.\nYour Stelvarion is now bootable.";
inline constexpr char kWriteProtected[] = "Stelvarion is write protected.";
inline constexpr char kNotFound[] = "Stelvarion is not found.";
inline constexpr char kUnknownError[] = "Program has encountered unknown error.";
inline constexpr char kNoDriveLetter[] =
    "Windows does not tell the drive letter of the Stelvarion, so it cannot be made bootable.\n"
    "Nothing was written to it.";
}  // namespace text
