; Placeholder IBMBIO.COM, built the way a DOS 4.0 and later IBMBIO.COM is: the FAT boot program
; loads only its first three sectors to 0070:0000, and the loader in them fetches the rest.
;
; The loader takes over what the boot program hands on (DL drive, CH media descriptor, AX:BX
; the first sector of the data area, DS:SI the BIOS's diskette table, INT 1Eh pointing at the
; table's copy at 0000:7C3E, the root directory's first sector at 0000:0500, the BPB at
; 0000:7C00) and checks it against the BPB. It then follows IBMBIO.COM's cluster chain in the
; FAT (12 or 16 bit) from AX:BX to load the rest of the file, which only a correct hand-over
; and chain walk find: every later sector carries its own index, and the report program lies
; beyond the first 64 KB, so in a later cluster on every layout. It loads IBMDOS.COM's first
; sector from the directory entry at 0000:0520 and checks its signature. Only then the report
; goes to the screen (BIOS teletype) and COM1:
;
;   Stelvarion boot check: the key started.
;   Volume label: <the volume-label entry's name without trailing spaces, or (none)>
;   System files: <entries 0, 1 and 2 as NAME.EXT, separated by ", "; a free entry as (free)>
;   DOS hand-over: drive <DL>, media <CH>, data area at sector <AX:BX> (hexadecimal)
;   Geometry handed over: <BPB heads> heads, <BPB sectors per track> sectors per track
;   <the placeholder notice>
;
; A wrong hand-over or a failed load prints one line starting "Boot check failed:" instead,
; and the program halts either way.

        bits    16
        cpu     186

%include "layout.inc"
%include "notice.inc"

        org     IBMBIO_SEGMENT * 16

COM1            equ 0x3F8
DIR_BUFFER      equ 0x7E00              ; one directory sector, behind the boot sector
FAT_BUFFER      equ 0x8000              ; two FAT sectors, so a FAT12 entry never splits
REPORT_ADDRESS  equ 0x9000              ; where the report program runs
LOAD_SEGMENT    equ 0x2000              ; sectors 3 onwards of this file are loaded here
ROOT_DIRECTORY  equ 0x0500              ; the root directory's first sector, from the boot
DISKETTE_VECTOR equ 0x1E * 4
DISKETTE_TABLE  equ BOOT_ADDRESS + 0x3E  ; the boot program's working copy
NAME_SIZE       equ 11
DIR_FILE_SIZE   equ 28
LOADER_SECTORS  equ IBMBIO_LOAD_SECTORS
%define REPORT_SECTOR 128                ; the report starts 64 KB into the file
FAT12_CLUSTER_LIMIT equ 4085

start:
        ; Continue at 0000:07xx, so one zero segment reaches the BPB and this program's data.
        jmp     0:flat
flat:
        mov     [cs:given_si], si
        mov     [cs:given_ds], ds
        cli
        mov     si, cs
        mov     ds, si
        mov     es, si
        mov     ss, si
        mov     sp, BOOT_ADDRESS
        sti
        cld
        mov     [given_dl], dl
        mov     [given_ch], ch
        mov     [given_data], bx
        mov     [given_data + 2], ax
        mov     [disk_drive], dl
        call    serial_init

        call    check_hand_over
        mov     si, text_bad_hand_over
        jc      hand_over_failure
        call    load_rest
        jc      failure
        call    check_ibmdos
        jc      failure

        ; The report program, from its place in the loaded file to where it runs.
        push    ds
        mov     ax, LOAD_SEGMENT + (REPORT_SECTOR - LOADER_SECTORS) * 32
        mov     ds, ax
        xor     si, si
        mov     di, REPORT_ADDRESS
        mov     cx, report_size
        rep     movsb
        pop     ds
        mov     si, REPORT_ADDRESS
        mov     di, report_signature
        mov     cx, report_signature_size
        repe    cmpsb
        mov     si, text_no_report
        jne     failure
        jmp     report_start

hand_over_failure:
        push    si
        mov     si, text_failed
        call    put_string
        pop     si
        call    put_string
        call    put_hand_over
        mov     si, text_table
        call    put_string
        mov     ax, [given_ds]
        call    put_hex_word
        mov     al, ':'
        call    put_char
        mov     ax, [given_si]
        call    put_hex_word
        mov     si, text_vector
        call    put_string
        mov     ax, [DISKETTE_VECTOR + 2]
        call    put_hex_word
        mov     al, ':'
        call    put_char
        mov     ax, [DISKETTE_VECTOR]
        call    put_hex_word
        mov     si, text_expected
        call    put_string
        mov     ax, [data_start]
        mov     dx, [data_start + 2]
        call    put_hex_dword
        mov     si, text_newline
        call    put_string
        jmp     halt
failure:
        push    si
        mov     si, text_failed
        call    put_string
        pop     si
        call    put_line
halt:
        cli
        hlt
        jmp     halt

; Computes from the BPB where the root directory and the data area start, and compares the
; hand-over with it. out: CF when anything differs.
check_hand_over:
        mov     al, [BPB_FAT_COUNT]
        cbw
        mul     word [BPB_SECTORS_PER_FAT]
        add     ax, [BPB_RESERVED_SECTORS]
        adc     dx, 0
        add     ax, [BPB_HIDDEN_SECTORS]
        adc     dx, [BPB_HIDDEN_SECTORS + 2]
        mov     [root_sector], ax
        mov     [root_sector + 2], dx
        mov     cx, [BPB_ROOT_ENTRIES]
        add     cx, 15
        shr     cx, 4                   ; 16 entries per 512-byte sector
        mov     [root_sectors], cx
        add     ax, cx
        adc     dx, 0
        mov     [data_start], ax
        mov     [data_start + 2], dx
        cmp     ax, [given_data]
        jne     .wrong
        cmp     dx, [given_data + 2]
        jne     .wrong
        mov     al, [given_dl]
        cmp     al, [BPB_DRIVE_NUMBER]
        jne     .wrong
        mov     al, [given_ch]
        cmp     al, [BPB_MEDIA]
        jne     .wrong
        ; INT 1Eh points at the working copy, and DS:SI at the table it was copied from.
        cmp     word [DISKETTE_VECTOR], DISKETTE_TABLE
        jne     .wrong
        cmp     word [DISKETTE_VECTOR + 2], 0
        jne     .wrong
        mov     si, [given_si]
        mov     ax, [given_ds]
        test    ax, ax
        jnz     .table
        cmp     si, DISKETTE_TABLE
        je      .wrong                  ; the copy itself, not the BIOS's table
.table:
        push    ds
        mov     ds, ax
        mov     di, DISKETTE_TABLE
        mov     cx, 11
        repe    cmpsb
        pop     ds
        jne     .wrong
        clc
        ret
.wrong:
        stc
        ret

; Loads sectors 3 onwards of IBMBIO.COM by its cluster chain, sector i to LOAD_SEGMENT + (i - 3)
; x 32, and checks that each stamped sector holds its own index.
;   out: CF with SI = the reason on failure
load_rest:
        call    count_clusters
        mov     ax, [ROOT_DIRECTORY + DIR_FILE_SIZE]
        mov     dx, [ROOT_DIRECTORY + DIR_FILE_SIZE + 2]
        add     ax, 511
        adc     dx, 0
        mov     cx, 512
        div     cx
        mov     [file_sectors], ax
        mov     si, text_too_short
        cmp     ax, REPORT_SECTOR + 1
        jb      .fail
        mov     ax, [ROOT_DIRECTORY + DIR_FIRST_CLUSTER]
        mov     [cluster], ax
        xor     di, di                  ; DI = index of the next sector of the file
.cluster:
        mov     si, text_bad_chain
        mov     ax, [cluster]
        cmp     ax, 2
        jb      .fail
        cmp     ax, [last_cluster]
        ja      .fail
        call    cluster_sector
        xor     cx, cx
        mov     cl, [BPB_SECTORS_PER_CLUSTER]
.sector:
        cmp     di, LOADER_SECTORS
        jb      .next_sector            ; already in memory
        push    ax
        lea     bx, [di - LOADER_SECTORS]
        shl     bx, 5
        add     bx, LOAD_SEGMENT
        mov     es, bx
        xor     bx, bx
        call    bios_read_sector
        mov     bx, 0
        mov     es, bx
        pop     ax
        mov     si, text_disk_error_bio
        jc      .fail
.next_sector:
        add     ax, 1
        adc     dx, 0
        inc     di
        cmp     di, [file_sectors]
        jae     .loaded
        loop    .sector
        mov     ax, [cluster]
        call    next_cluster
        mov     si, text_disk_error_bio
        jc      .fail
        mov     [cluster], ax
        jmp     .cluster
.loaded:
        mov     di, LOADER_SECTORS
.stamp:
        lea     bx, [di - LOADER_SECTORS]
        shl     bx, 5
        add     bx, LOAD_SEGMENT
        mov     es, bx
        cmp     [es:0], di
        mov     bx, 0
        mov     es, bx
        mov     si, text_wrong_sector
        jne     .fail
        inc     di
        cmp     di, REPORT_SECTOR
        jb      .stamp
        clc
        ret
.fail:
        stc
        ret

; The first sector of cluster AX, counted from the handed-over data area. out: DX:AX
cluster_sector:
        sub     ax, 2
        xor     cx, cx
        mov     cl, [BPB_SECTORS_PER_CLUSTER]
        mul     cx
        add     ax, [given_data]
        adc     dx, [given_data + 2]
        ret

; Sets last_cluster and fat12 from the volume's size, the way DOS tells the FAT types apart.
count_clusters:
        xor     dx, dx
        mov     ax, [BPB_TOTAL_SECTORS_16]
        test    ax, ax
        jnz     .total
        mov     ax, [BPB_TOTAL_SECTORS_32]
        mov     dx, [BPB_TOTAL_SECTORS_32 + 2]
.total:
        add     ax, [BPB_HIDDEN_SECTORS]
        adc     dx, [BPB_HIDDEN_SECTORS + 2]
        sub     ax, [data_start]
        sbb     dx, [data_start + 2]
        xor     cx, cx
        mov     cl, [BPB_SECTORS_PER_CLUSTER]
        push    ax
        mov     ax, dx
        xor     dx, dx
        div     cx
        mov     bx, ax                  ; high word of the quotient
        pop     ax
        div     cx
        test    bx, bx
        jz      .fits
        mov     ax, 0xFFF0
.fits:
        mov     byte [fat12], 0
        cmp     ax, FAT12_CLUSTER_LIMIT
        jae     .fat16
        mov     byte [fat12], 1
.fat16:
        inc     ax                      ; clusters 2 .. count + 1
        mov     [last_cluster], ax
        ret

; The FAT entry of cluster AX. out: AX (FAT12 end marks widened to 16 bits), CF on a read error
next_cluster:
        push    cx
        push    di
        mov     di, ax
        xor     dx, dx
        cmp     byte [fat12], 0
        je      .fat16
        shr     ax, 1
        add     ax, di                  ; 1.5 bytes per entry
        jmp     .offset
.fat16:
        shl     ax, 1
        rcl     dx, 1
.offset:
        mov     cx, 512
        div     cx                      ; AX = FAT sector, DX = byte in it
        push    dx
        xor     dx, dx
        add     ax, [BPB_RESERVED_SECTORS]
        adc     dx, 0
        add     ax, [BPB_HIDDEN_SECTORS]
        adc     dx, [BPB_HIDDEN_SECTORS + 2]
        mov     bx, FAT_BUFFER
        call    bios_read_sector
        jc      .failed
        add     ax, 1
        adc     dx, 0
        add     bx, 512
        call    bios_read_sector
.failed:
        pop     bx
        jc      .done
        mov     ax, [FAT_BUFFER + bx]
        cmp     byte [fat12], 0
        je      .read
        test    di, 1
        jz      .even
        shr     ax, 4
.even:
        and     ax, 0x0FFF
        cmp     ax, 0x0FF0
        jb      .read
        or      ax, 0xF000
.read:
        clc
.done:
        pop     di
        pop     cx
        ret

; Reads IBMDOS.COM's first sector by its directory entry and checks its signature.
;   out: CF with SI = the reason on failure
check_ibmdos:
        mov     si, text_no_ibmdos
        mov     ax, [ROOT_DIRECTORY + DIR_ENTRY_SIZE + DIR_FIRST_CLUSTER]
        cmp     ax, 2
        jb      .fail
        call    cluster_sector
        mov     bx, DIR_BUFFER
        call    bios_read_sector
        jc      .fail
        mov     si, DIR_BUFFER + 2
        mov     di, ibmdos_signature
        mov     cx, ibmdos_signature_size
        repe    cmpsb
        mov     si, text_no_ibmdos
        jne     .fail
        clc
        ret
.fail:
        stc
        ret

; Prints "drive DL, media CH, data area at sector AX:BX" as handed over.
put_hand_over:
        mov     si, text_drive
        call    put_string
        mov     al, [given_dl]
        call    put_hex_byte
        mov     si, text_media
        call    put_string
        mov     al, [given_ch]
        call    put_hex_byte
        mov     si, text_data_area
        call    put_string
        mov     ax, [given_data]
        mov     dx, [given_data + 2]
; Prints DX:AX as eight hexadecimal digits.
put_hex_dword:
        push    ax
        mov     ax, dx
        call    put_hex_word
        pop     ax
put_hex_word:
        push    ax
        mov     al, ah
        call    put_hex_byte
        pop     ax
put_hex_byte:
        push    ax
        shr     al, 4
        call    put_hex_digit
        pop     ax
put_hex_digit:
        push    ax
        and     al, 0x0F
        add     al, '0'
        cmp     al, '9'
        jbe     .digit
        add     al, 'A' - '9' - 1
.digit:
        call    put_char
        pop     ax
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

; The geometry the boot program left in the BPB, as DOS's loader reads with it.
%define DISK_DRIVE      disk_drive
%define TRACK_SECTORS   BPB_SECTORS_PER_TRACK
%define HEADS           BPB_HEADS
%include "bios_disk.inc"


text_failed:         db "Boot check failed: ", 0
text_bad_hand_over:  db "wrong DOS hand-over: ", 0
text_table:          db ", diskette table at ", 0
text_vector:         db ", INT 1Eh at ", 0
text_expected:       db "; the BPB puts the data area at sector ", 0
text_too_short:      db "IBMBIO.COM is shorter than its directory entry must say.", 0
text_bad_chain:      db "IBMBIO.COM's cluster chain leaves the volume or ends early.", 0
text_disk_error_bio: db "disk error while loading IBMBIO.COM.", 0
text_wrong_sector:   db "IBMBIO.COM loaded with a sector out of place.", 0
text_no_report:      db "IBMBIO.COM's last part is not where its clusters lead.", 0
text_no_ibmdos:      db "IBMDOS.COM's directory entry does not lead to IBMDOS.COM.", 0
text_drive:          db "drive ", 0
text_media:          db ", media ", 0
text_data_area:      db ", data area at sector ", 0
text_newline:        db 13, 10, 0
report_signature:    db "Stelvarion report"
report_signature_size equ $ - report_signature
ibmdos_signature:    db "IBMDOS.COM", 0
ibmdos_signature_size equ $ - ibmdos_signature

given_dl:        db 0
given_ch:        db 0
given_data:      dd 0
given_si:        dw 0
given_ds:        dw 0
disk_drive:      db 0
fat12:           db 0
root_sector:     dd 0
root_sectors:    dw 0
data_start:      dd 0
file_sectors:    dw 0
cluster:         dw 0
last_cluster:    dw 0

        size_at_most LOADER_SECTORS * 512
        pad_to  LOADER_SECTORS * 512

; Sectors 3 to 127: each begins with its own index in the file.
        section stamps follows=.text vstart=0
%rep REPORT_SECTOR - 3
        dw      ($ - $$) / 512 + LOADER_SECTORS
        times   510 db 0
%endrep
        pad_to  (REPORT_SECTOR - LOADER_SECTORS) * 512

; The report program, run at REPORT_ADDRESS once the loader has checked everything.
        section report follows=stamps vstart=REPORT_ADDRESS
        db      "Stelvarion report"
report_start:
        mov     si, text_banner
        call    put_line

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
        mov     si, text_hand_over
        call    put_string
        call    put_hand_over
        mov     si, text_newline
        call    put_string
        mov     si, text_geometry
        call    put_string
        mov     ax, [BPB_HEADS]
        call    put_decimal
        mov     si, text_heads
        call    put_string
        mov     ax, [BPB_SECTORS_PER_TRACK]
        call    put_decimal
        mov     si, text_sectors
        call    put_line
        mov     si, text_notice
        call    put_line
        jmp     halt

disk_error:
        mov     si, text_newline
        call    put_string
        mov     si, text_disk_error
        call    put_line
        jmp     halt

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

; Prints AX in decimal.
put_decimal:
        xor     dx, dx
        mov     bx, 10
        div     bx
        test    ax, ax
        jz      .digit
        push    dx
        call    put_decimal
        pop     dx
.digit:
        mov     al, dl
        add     al, '0'
        jmp     put_char

text_banner:     db "Stelvarion boot check: the key started.", 0
text_label:      db "Volume label: ", 0
text_no_label:   db "(none)", 0
text_files:      db "System files: ", 0
text_separator:  db ", ", 0
text_free:       db "(free)", 0
text_hand_over:  db "DOS hand-over: ", 0
text_geometry:   db "Geometry handed over: ", 0
text_heads:      db " heads, ", 0
text_sectors:    db " sectors per track", 0
text_notice:     db PLACEHOLDER_NOTICE, 0
text_disk_error: db "Disk error while reading the root directory.", 0
label_text:      times NAME_SIZE + 1 db 0
name_text:       times 8 + 1 + 3 + 1 db 0
report_size      equ $ - $$
