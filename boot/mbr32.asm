; Boot program of the set-2 master boot record (one partition from sector 32, written for 64
; heads x 32 sectors): a conventional partition-table loader. Assembles to the 440 bytes in front
; of the disk signature. Hands over DL = boot drive and DS:SI = the active entry, as DOS boot
; sectors expect. A cylinder/head/sector read addresses the entry's first sector in the geometry
; the BIOS reports: a BIOS may present the key with another one than the layout's (USB sticks
; get 63 sectors a track), and then the entry's stored CHS bytes point elsewhere.

        bits    16
        cpu     186

%include "layout.inc"
%include "bios_geometry.inc"

        org     RELOCATED_MBR

TABLE           equ RELOCATED_MBR + PARTITION_TABLE
ENTRY_SIZE      equ 16
ENTRY_TYPE      equ 4
ENTRY_LBA       equ 8
READ_TRIES      equ 5

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
        mov     [boot_drive], dl
        mov     si, TABLE
        mov     cx, 4
        xor     bp, bp                  ; the active entry, once found
.scan:
        mov     al, [si]
        test    al, al
        jz      .next
        jns     invalid_table           ; 0x01..0x7F
        test    bp, bp
        jnz     invalid_table           ; anything non-zero after the active entry
        mov     bp, si
.next:
        add     si, ENTRY_SIZE
        loop    .scan
        test    bp, bp
        jz      give_back_to_bios
        jmp     load

invalid_table:
        mov     si, msg_invalid_table
        jmp     print_and_stop

load:
        mov     di, READ_TRIES
.try:
        mov     dl, [boot_drive]
        mov     al, [bp + ENTRY_TYPE]
        cmp     al, 0x0C
        je      .extended
        cmp     al, 0x0E
        jne     .chs
.extended:
        ; Only LBA partition types are read by LBA, and only when the BIOS has the extensions.
        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1
        jz      .chs
        mov     ax, [bp + ENTRY_LBA]
        mov     [dap_lba], ax
        mov     ax, [bp + ENTRY_LBA + 2]
        mov     [dap_lba + 2], ax
        mov     dl, [boot_drive]
        mov     si, dap
        mov     ah, 0x42
        int     0x13
        jnc     .loaded
        jmp     .retry
.chs:
        mov     dl, [boot_drive]
        bios_geometry bp
        mov     ax, [bp + ENTRY_LBA + 2]
        xor     dx, dx
        div     cx
        xchg    ax, si
        mov     ax, [bp + ENTRY_LBA]
        div     cx                      ; SI:AX = track, DX = sector - 1
        mov     cx, dx
        inc     cx
        mov     dx, si
        div     bx                      ; AX = cylinder, DX = head
        xchg    al, ah
        ror     al, 2                   ; cylinder bits 8-9 into bits 6-7
        or      cx, ax
        mov     dh, dl
        mov     dl, [boot_drive]
        mov     bx, sp                  ; 0x7C00
        mov     ax, 0x0201
        int     0x13
        jnc     .loaded
.retry:
        dec     di
        jz      .failed
        mov     dl, [boot_drive]
        xor     ah, ah
        int     0x13
        jmp     .try
.failed:
        mov     si, msg_load_error
        jmp     print_and_stop

.loaded:
        mov     si, msg_missing_os
        cmp     word [BOOT_ADDRESS + SIGNATURE_OFFSET], BOOT_SIGNATURE
        jne     print_and_stop
        mov     si, bp
        mov     dl, [boot_drive]
        jmp     0:BOOT_ADDRESS

%include "bios_print.inc"

        pad_to  0x10F
msg_invalid_table:
        db      "Invalid partition table", 0
        pad_to  0x127
msg_load_error:
        db      "Error loading operating system", 0
        pad_to  0x146
msg_missing_os:
        db      "Missing operating system", 0

; Disk address packet of the extended read: one sector to 0000:7C00.
dap:
        db      16, 0
        dw      1
        dw      BOOT_ADDRESS, 0
dap_lba:
        dd      0, 0
boot_drive:
        db      0
        size_at_most 0x18A
        pad_to  MBR_CODE_SIZE
