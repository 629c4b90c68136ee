; A BIOS of the test's choosing in front of qemu's, for the boot oracle tests: booted from a
; diskette, it stays resident at the top of base memory, takes over INT 13h for drive 0x80 and
; starts the hard disk's master boot record. For that drive it
;   - answers AH=08 with the geometry in its settings, or fails it (CF, AH=01);
;   - turns an AH=02 read into logical sectors in that same geometry, reads them through the
;     real BIOS by LBA, and refuses a sector or head beyond the geometry;
; and it logs each of these on COM1 ("shim: AH=08", "shim: read 0000003F 01", ...), so that a
; test sees which sectors the boot programs asked for. Other drives and functions go to the BIOS.
;
; Settings, patched by the test at SETTINGS: answer AH=08 (1) or fail it (0), the last head, the
; sectors per track. They stand where the set-1 MBR's drive-0x00 probe does not look (0x1BC).

        bits    16
        cpu     186
        org     0

SETTINGS        equ 0x1F0
INT13_VECTOR    equ 0x13 * 4
BASE_MEMORY_KB  equ 0x413
COM1            equ 0x3F8

start:
        jmp     0x07C0:go
go:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        sti
        cld
        push    cs
        pop     ds
        ; One kilobyte off the top of base memory, so no boot program overwrites the copy.
        mov     es, ax
        dec     word [es:BASE_MEMORY_KB]
        mov     ax, [es:BASE_MEMORY_KB]
        shl     ax, 6
        les     bx, [es:INT13_VECTOR]
        mov     [old13], bx
        mov     [old13 + 2], es
        mov     es, ax
        xor     si, si
        xor     di, di
        mov     cx, 256
        rep     movsw
        xor     bx, bx
        mov     ds, bx
        mov     word [INT13_VECTOR], handler
        mov     [INT13_VECTOR + 2], ax
        push    ax
        push    start_disk
        retf

; Runs in the copy: loads the hard disk's first sector (CHS 0/0/1 is sector 0 in any geometry)
; and starts it as the BIOS would.
start_disk:
        xor     ax, ax
        mov     es, ax
        mov     ax, 0x0201
        mov     bx, 0x7C00
        mov     cx, 1
        mov     dx, 0x80
        pushf
        call    far [cs:old13]
        jc      $
        jmp     0:0x7C00

handler:
        cmp     dl, 0x80
        jne     .bios
        cmp     ah, 0x08
        je      geometry
        cmp     ah, 0x02
        je      chs_read
.bios:
        jmp     far [cs:old13]

refuse:
        mov     ah, 0x01
        sti
        stc
        retf    2

geometry:
        push    si
        mov     si, text_geometry
        call    log_text
        call    log_newline
        pop     si
        cmp     byte [cs:SETTINGS], 0
        je      refuse
        mov     ch, 0xFF                ; 1024 cylinders
        mov     cl, [cs:SETTINGS + 2]
        or      cl, 0xC0
        mov     dh, [cs:SETTINGS + 1]
        mov     dl, 1
        xor     ax, ax
        sti
        clc
        retf    2

chs_read:
        sti
        pusha
        push    ds
        push    cs
        pop     ds
        xor     ah, ah
        mov     [dap_count], ax
        mov     [dap_offset], bx
        mov     [dap_segment], es
        mov     al, cl
        and     ax, 0x3F
        jz      .bad
        cmp     al, [SETTINGS + 2]
        ja      .bad
        dec     ax
        mov     si, ax                  ; sector - 1
        cmp     dh, [SETTINGS + 1]
        ja      .bad
        mov     al, dh
        xor     ah, ah
        mov     di, ax                  ; head
        mov     al, cl
        shr     al, 6
        mov     ah, al
        mov     al, ch                  ; AX = cylinder
        mov     bl, [SETTINGS + 1]
        xor     bh, bh
        inc     bx
        mul     bx
        add     ax, di
        adc     dx, 0                   ; DX:AX = track
        mov     bl, [SETTINGS + 2]
        mov     bh, 0
        mov     cx, ax
        mov     ax, dx
        mul     bx
        xchg    ax, cx
        mul     bx
        add     dx, cx
        add     ax, si
        adc     dx, 0                   ; DX:AX = logical sector
        mov     [dap_lba], ax
        mov     [dap_lba + 2], dx
        mov     si, text_read
        call    log_text
        xchg    ax, dx
        call    log_hex_word
        xchg    ax, dx
        call    log_hex_word
        mov     al, ' '
        call    log_char
        mov     al, [dap_count]
        call    log_hex_byte
        call    log_newline
        mov     si, dap
        mov     dl, 0x80
        mov     ah, 0x42
        pushf
        call    far [old13]
        jc      .failed
        pop     ds
        popa
        mov     ah, 0
        clc
        retf    2
.bad:
        mov     si, text_bad
        call    log_text
        call    log_newline
.failed:
        pop     ds
        popa
        mov     ax, 0x0400              ; sector not found
        stc
        retf    2

; COM1 output; CS-relative texts; every register but AL kept.
log_text:
        push    ax
.next:
        mov     al, [cs:si]
        inc     si
        test    al, al
        jz      .done
        call    log_char
        jmp     .next
.done:
        pop     ax
        ret

log_newline:
        push    ax
        mov     al, 13
        call    log_char
        mov     al, 10
        call    log_char
        pop     ax
        ret

log_hex_word:
        push    ax
        mov     al, ah
        call    log_hex_byte
        pop     ax
log_hex_byte:
        push    ax
        shr     al, 4
        call    log_hex_digit
        pop     ax
log_hex_digit:
        push    ax
        and     al, 0x0F
        add     al, '0'
        cmp     al, '9'
        jbe     .digit
        add     al, 'A' - '9' - 1
.digit:
        call    log_char
        pop     ax
        ret

log_char:
        push    dx
        push    ax
        mov     dx, COM1 + 5
.wait:
        in      al, dx
        test    al, 0x20
        jz      .wait
        pop     ax
        mov     dx, COM1
        out     dx, al
        pop     dx
        ret

text_geometry:  db "shim: AH=08", 0
text_read:      db "shim: read ", 0
text_bad:       db "shim: bad CHS", 0

old13:          dd 0
dap:            db 16, 0
dap_count:      dw 0
dap_offset:     dw 0
dap_segment:    dw 0
dap_lba:        dd 0, 0

        times   SETTINGS - ($ - $$) db 0
        db      1, 254, 63              ; answer AH=08 with 255 heads x 63 sectors
        times   510 - ($ - $$) db 0
        dw      0xAA55
