; Placeholder COMMAND.COM.
%define FILE_NAME "COMMAND.COM"
%include "dos_notice.inc"
