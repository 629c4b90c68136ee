; Boot program of the set-1 master boot record (one partition from sector 63, written for 32 heads
; x 63 sectors). Assembles to the 440 bytes in front of the disk signature. The partition's first
; sector is addressed in the geometry the BIOS reports, since a BIOS may present the key with
; another one than the layout's (USB sticks get 63 sectors a track and 16 to 255 heads).
;
; The key may be presented by the BIOS either as a hard disk or, through floppy emulation, as
; drive 0x00. Drive 0x00 is taken as the key only when its first sector carries "US" at 0x1BC;
; otherwise the key is drive 0x80. The choice is written into the boot sector's drive-number
; field, which the FAT boot program reads instead of DL.

        bits    16
        cpu     186
%include "layout.inc"
%include "bios_geometry.inc"

        org     RELOCATED_MBR

ENTRY1          equ RELOCATED_MBR + PARTITION_TABLE
PROBE_MARK      equ 0x1BC
PROBE_TEXT      equ 'US'                ; bytes 0x55 0x53

start:
        xor     ax, ax
        mov     ss, ax                  ; no interrupt comes between this and the next
        mov     sp, BOOT_ADDRESS
        mov     ds, ax
        mov     es, ax
        cld
        mov     si, sp
        mov     di, RELOCATED_MBR
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        ; Only entry 1 is looked at: the writer puts the one partition there.
        cmp     byte [di - RELOCATED_MBR - 512 + ENTRY1], 0x80  ; DI ends behind the copy
        jne     give_back_to_bios

        mov     ax, 0x0201              ; drive 0x00, cylinder 0, head 0, sector 1
        mov     bx, sp
        inc     cx                      ; CX was 0 after the copy
        cwd
        int     0x13
        jc      .hard_disk
        cmp     word [BOOT_ADDRESS + PROBE_MARK], PROBE_TEXT
        je      .chosen                 ; DL is still 0x00
.hard_disk:
        mov     dl, 0x80
.chosen:
        mov     [boot_drive], dl

        bios_geometry ENTRY1
        ; The first sector is 63, so its track and cylinder stay below 64 in any geometry and
        ; byte-wide arithmetic will do.
        mov     ax, [ENTRY1 + 8]
        div     cl                      ; AL = track, AH = sector - 1
        mov     cl, ah
        inc     cx                      ; CH is 0
        cbw
        cwd
        div     bx                      ; AL = cylinder, DL = head
        mov     ch, al
        mov     dh, dl
        mov     dl, [boot_drive]
        mov     bx, sp
        mov     ax, 0x0201
        int     0x13
        mov     si, msg_load_error
        jc      print_and_stop
        mov     si, msg_missing_os
        cmp     word [BOOT_ADDRESS + SIGNATURE_OFFSET], BOOT_SIGNATURE
        jne     print_and_stop

        mov     al, [boot_drive]
        mov     [BPB_DRIVE_NUMBER], al
        jmp     BOOT_ADDRESS            ; CS is 0 since the jump to the copy

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
