; Placeholder IBMBIO.COM. Started by the FAT boot program at 0070:0000 with DL = drive number
; and the BPB at 0000:7C00, it reports what it finds in the root directory, on the screen (BIOS
; teletype) and on COM1, so that a test can tell a key that boots from one that does not:
;
;   Stelvarion boot check: the key started.
;   Volume label: <the volume-label entry's name without trailing spaces, or (none)>
;   System files: <entries 0, 1 and 2 as NAME.EXT, separated by ", "; a free entry as (free)>
;   <the placeholder notice>
;
; then halts. Only the first three sectors are loaded, so the program must fit in them.

        bits    16
        cpu     186

%include "layout.inc"
%include "notice.inc"

        org     IBMBIO_SEGMENT * 16

COM1            equ 0x3F8
DIR_BUFFER      equ 0x7E00              ; one directory sector, behind the boot sector
NAME_SIZE       equ 11

start:
        ; Continue at 0000:07xx, so one zero segment reaches the BPB and this program's data.
        jmp     0:flat
flat:
        cli
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        mov     ss, ax
        mov     sp, BOOT_ADDRESS
        sti
        cld
        mov     [disk_drive], dl
        call    serial_init

        mov     si, text_banner
        call    put_line

        call    find_root
        mov     si, text_label
        call    put_string
        call    find_label
        jc      disk_error
        call    put_line

        mov     si, text_files
        call    put_string
        mov     ax, [root_sector]
        mov     dx, [root_sector + 2]
        mov     bx, DIR_BUFFER
        call    bios_read_sector
        jc      disk_error
        mov     si, DIR_BUFFER
        mov     cx, 3
.file:
        call    put_entry_name
        add     si, DIR_ENTRY_SIZE
        dec     cx
        jz      .files_done
        push    si
        mov     si, text_separator
        call    put_string
        pop     si
        jmp     .file
.files_done:
        mov     si, text_newline
        call    put_string
        mov     si, text_notice
        call    put_line
        jmp     halt

disk_error:
        mov     si, text_newline
        call    put_string
        mov     si, text_disk_error
        call    put_line
halt:
        cli
        hlt
        jmp     halt

; Sets root_sector and root_sectors from the BPB.
find_root:
        mov     al, [BPB_FAT_COUNT]
        cbw
        mul     word [BPB_SECTORS_PER_FAT]
        add     ax, [BPB_RESERVED_SECTORS]
        adc     dx, 0
        add     ax, [BPB_HIDDEN_SECTORS]
        adc     dx, [BPB_HIDDEN_SECTORS + 2]
        mov     [root_sector], ax
        mov     [root_sector + 2], dx
        mov     ax, [BPB_ROOT_ENTRIES]
        add     ax, 15
        mov     cl, 4
        shr     ax, cl                  ; 16 entries per 512-byte sector
        mov     [root_sectors], ax
        ret

; Walks the root directory to its end for the volume-label entry.
;   out: CF on a read failure; otherwise SI = the label text to print
find_label:
        mov     ax, [root_sector]
        mov     dx, [root_sector + 2]
        mov     cx, [root_sectors]
.sector:
        mov     bx, DIR_BUFFER
        call    bios_read_sector
        jc      .done
        mov     si, DIR_BUFFER
.entry:
        mov     bl, [si]
        test    bl, bl
        jz      .none                   ; end of the directory
        cmp     bl, 0xE5
        je      .skip                   ; deleted
        mov     bl, [si + DIR_ATTRIBUTE]
        and     bl, 0x0F
        cmp     bl, 0x0F
        je      .skip                   ; long-name part
        test    bl, ATTRIBUTE_VOLUME_LABEL
        jnz     .found
.skip:
        add     si, DIR_ENTRY_SIZE
        cmp     si, DIR_BUFFER + 512
        jb      .entry
        add     ax, 1
        adc     dx, 0
        loop    .sector
.none:
        mov     si, text_no_label
        clc
.done:
        ret
.found:
        mov     di, label_text
        mov     cx, NAME_SIZE
        rep     movsb
        mov     cx, NAME_SIZE
        call    trim_end
        cmp     di, label_text
        je      .none                   ; a label of spaces names nothing
        mov     byte [di], 0
        mov     si, label_text
        clc
        ret

; Drops trailing spaces of the CX characters in front of DI; DI ends behind the last one kept.
trim_end:
        cmp     byte [di - 1], ' '
        jne     .done
        dec     di
        loop    trim_end
.done:
        ret

; Prints the directory entry at SI as NAME.EXT, or (free) for an unused entry. Keeps SI, CX.
put_entry_name:
        pusha
        mov     al, [si]
        test    al, al
        jz      .free
        cmp     al, 0xE5
        je      .free
        mov     di, name_text
        push    si
        mov     cx, 8
        rep     movsb
        mov     cx, 8
        call    trim_end
        cmp     word [si], '  '
        jne     .extension
        cmp     byte [si + 2], ' '
        je      .terminate
.extension:
        mov     al, '.'
        stosb
        mov     cx, 3
        rep     movsb
        mov     cx, 3
        call    trim_end
.terminate:
        pop     si
        mov     byte [di], 0
        mov     si, name_text
        call    put_string
        popa
        ret
.free:
        mov     si, text_free
        call    put_string
        popa
        ret

; 115200 baud, 8 data bits, no parity, one stop bit, no interrupts.
serial_init:
        mov     dx, COM1 + 1
        xor     al, al
        out     dx, al
        mov     dx, COM1 + 3
        mov     al, 0x80                ; divisor latch
        out     dx, al
        mov     dx, COM1
        mov     al, 1
        out     dx, al
        inc     dx
        xor     al, al
        out     dx, al
        mov     dx, COM1 + 3
        mov     al, 0x03
        out     dx, al
        mov     dx, COM1 + 2
        mov     al, 0xC7                ; FIFO on and cleared
        out     dx, al
        mov     dx, COM1 + 4
        mov     al, 0x03                ; DTR and RTS
        out     dx, al
        ret

; Prints the NUL-terminated text at SI, then a line end.
put_line:
        call    put_string
        mov     si, text_newline
; Prints the NUL-terminated text at SI on the screen and on COM1.
put_string:
        push    ax
        push    bx
.next:
        lodsb
        test    al, al
        jz      .done
        call    put_char
        jmp     .next
.done:
        pop     bx
        pop     ax
        ret

put_char:
        pusha
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        popa
        pusha
        mov     ah, al
        mov     dx, COM1 + 5
        mov     cx, 0xFFFF              ; a missing UART must not hang the report
.wait:
        in      al, dx
        test    al, 0x20
        jnz     .send
        loop    .wait
.send:
        mov     al, ah
        mov     dx, COM1
        out     dx, al
        popa
        ret

DISK_DRIVE      equ disk_drive
%include "bios_disk.inc"

text_banner:     db "Stelvarion boot check: the key started.", 0
text_label:      db "Volume label: ", 0
text_no_label:   db "(none)", 0
text_files:      db "System files: ", 0
text_separator:  db ", ", 0
text_free:       db "(free)", 0
text_notice:     db PLACEHOLDER_NOTICE, 0
text_disk_error: db "Disk error while reading the root directory.", 0
text_newline:    db 13, 10, 0

disk_drive:      db 0
root_sector:     dd 0
root_sectors:    dw 0
label_text:      times NAME_SIZE + 1 db 0
name_text:       times 8 + 1 + 3 + 1 db 0

        size_at_most IBMBIO_LOAD_SECTORS * 512
