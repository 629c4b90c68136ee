; Boot program of the set-1 master boot record (one partition from sector 63, 32 heads x 63
; sectors). Assembles to the 440 bytes in front of the disk signature.
;
; The key may be presented by the BIOS either as a hard disk or, through floppy emulation, as
; drive 0x00. Drive 0x00 is taken as the key only when its first sector carries "US" at 0x1BC;
; otherwise the key is drive 0x80. The choice is written into the boot sector's drive-number
; field, which the FAT boot program reads instead of DL.

        bits    16
        cpu     186
%include "layout.inc"

        org     RELOCATED_MBR

ENTRY1          equ RELOCATED_MBR + PARTITION_TABLE
PROBE_MARK      equ 0x1BC
PROBE_TEXT      equ 'US'                ; bytes 0x55 0x53

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, BOOT_ADDRESS
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, BOOT_ADDRESS
        mov     di, RELOCATED_MBR
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        ; Only entry 1 is looked at: the writer puts the one partition there.
        cmp     byte [ENTRY1], 0x80
        je      .active
        int     0x18
.hang:
        jmp     .hang

.active:
        mov     ax, 0x0201              ; drive 0x00, cylinder 0, head 0, sector 1
        mov     bx, BOOT_ADDRESS
        mov     cx, 0x0001
        xor     dx, dx
        int     0x13
        mov     dl, 0x80
        jc      .chosen
        cmp     word [BOOT_ADDRESS + PROBE_MARK], PROBE_TEXT
        jne     .chosen
        mov     dl, 0x00
.chosen:
        mov     [boot_drive], dl

        mov     dh, [ENTRY1 + 1]        ; start head
        mov     cx, [ENTRY1 + 2]        ; start sector and cylinder, as INT 13h wants them
        mov     ax, 0x0201
        mov     bx, BOOT_ADDRESS
        int     0x13
        mov     si, msg_load_error
        jc      print_and_stop
        mov     si, msg_missing_os
        cmp     word [BOOT_ADDRESS + SIGNATURE_OFFSET], BOOT_SIGNATURE
        jne     print_and_stop

        mov     dl, [boot_drive]
        mov     [BPB_DRIVE_NUMBER], dl
        jmp     0:BOOT_ADDRESS

%include "bios_print.inc"

        pad_to  0x09B
msg_invalid_table:                      ; kept with the others; this program never prints it
        db      "Invalid partition table", 0
        pad_to  0x0B3
msg_load_error:
        db      "Error loading operating system", 0
        pad_to  0x0D2
msg_missing_os:
        db      "Missing operating system", 0
        pad_to  0x0EB
boot_drive:
        db      0
        pad_to  MBR_CODE_SIZE
