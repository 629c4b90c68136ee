; Placeholder IBMDOS.COM.
%define FILE_NAME "IBMDOS.COM"
%include "dos_notice.inc"
