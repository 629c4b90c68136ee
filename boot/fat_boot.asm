; FAT boot-sector program: bytes 0x3E to 0x1FD of every boot-sector template, behind the BPB.
;
; Finds the root directory from the BPB, requires IBMBIO.COM and IBMDOS.COM as its first two
; entries, loads the first three sectors of IBMBIO.COM to 0070:0000 and jumps there. What a DOS
; 4.0 and later IBMBIO.COM takes over on that jump:
;
;   DL    = INT 13h drive number (BPB field 0x24; the set-1 MBR program stores its choice there)
;   CH    = media descriptor (BPB field 0x15)
;   BX    = first sector of the data area (cluster 2) on the disk, low word; counted from the
;           start of the disk: hidden + reserved + FAT copies x sectors per FAT + root sectors
;   AX    = its high word (read by the loader because the BPB carries the 0x29 signature)
;   DS:SI = the BIOS's own diskette parameter table, the INT 1Eh vector found at start-up
;   0000:7C3E  an 11-byte working copy of that table over the first, already run, bytes of this
;              program; INT 1Eh points here (the loader moves it to 0000:0522 itself, once it
;              no longer needs IBMDOS.COM's directory entry)
;   0000:0500  the root directory's first sector (IBMBIO.COM's entry at 0x500, IBMDOS.COM's
;              at 0x520, which the loader reads to find IBMDOS.COM)
;   0000:7C00  this boot sector with its BPB (bytes per sector, sectors per cluster, geometry,
;              hidden and total sectors are read from it); the geometry fields (0x18, 0x1A)
;              hold the one the BIOS reports for the drive (INT 13h AH=08), which this program
;              reads with too, and keep the stored values only when the BIOS reports none. DOS's
;              loader takes its cylinder/head/sector arithmetic from these two fields.
;   SS:SP = 0000:7BF8, the stack just below this sector
;
; Any failure shows the message at 0x19E, waits for a key and restarts the BIOS bootstrap.

        bits    16
        cpu     186

%include "layout.inc"

        org     BOOT_ADDRESS + 0x3E

%define DISK_DRIVE      bp + 0x24       ; BP stays at 0x7C00; SS = DS = 0
%define TRACK_SECTORS   bp + 0x18
%define HEADS           bp + 0x1A
SECTORS_LEFT    equ BPB_WORK_BYTE       ; working storage: IBMBIO.COM sectors still to load
ROOT_BUFFER     equ 0x0500              ; 0x500..0x6FF, below where IBMBIO.COM goes
VOLUME_END      equ -4                  ; [bp-4]: first sector behind the volume
DATA_START      equ -8                  ; [bp-8]: first sector of cluster 2
DISKETTE_VECTOR equ 0x1E * 4
DISKETTE_TABLE  equ BOOT_ADDRESS + 0x3E  ; over the first instructions, run by then
DISKETTE_TABLE_SIZE equ 11

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     bp, BOOT_ADDRESS
        lea     sp, [bp + DATA_START]
        sti

        ; The BIOS's geometry replaces the stored one in the BPB in memory; the sector on the
        ; disk keeps its own.
        mov     dl, [DISK_DRIVE]
        mov     ah, 0x08
        int     0x13
        jc      .stored
        and     cx, 0x3F
        jz      .stored
        mov     [TRACK_SECTORS], cx
        mov     dl, dh
        mov     dh, ch
        inc     dx
        mov     [HEADS], dx
.stored:
        xor     ax, ax
        mov     es, ax
        cld
        ; Hand the BIOS's table on in DS:SI and work from a copy, as DOS does from now on.
        mov     bx, DISKETTE_VECTOR
        lds     si, [es:bx]
        push    ds
        push    si                      ; [bp-12]: the BIOS's table, restored on failure
        mov     di, DISKETTE_TABLE
        mov     cx, DISKETTE_TABLE_SIZE
copy_table:
        rep     movsb
        mov     ds, ax
        mov     word [bx], DISKETTE_TABLE
        mov     [bx + 2], ax

        ; The volume ends at hidden + total sectors; the 16-bit total counts when it is set.
        xor     dx, dx
        mov     ax, [bp + BPB_TOTAL_SECTORS_16 - BOOT_ADDRESS]
        test    ax, ax
        jnz     .have_total
        mov     ax, [bp + BPB_TOTAL_SECTORS_32 - BOOT_ADDRESS]
        mov     dx, [bp + BPB_TOTAL_SECTORS_32 - BOOT_ADDRESS + 2]
.have_total:
        add     ax, [bp + BPB_HIDDEN_SECTORS - BOOT_ADDRESS]
        adc     dx, [bp + BPB_HIDDEN_SECTORS - BOOT_ADDRESS + 2]
        mov     [bp + VOLUME_END], ax
        mov     [bp + VOLUME_END + 2], dx

        ; Root directory: hidden + reserved + FAT copies x sectors per FAT.
        mov     al, [bp + BPB_FAT_COUNT - BOOT_ADDRESS]
        cbw
        mul     word [bp + BPB_SECTORS_PER_FAT - BOOT_ADDRESS]
        add     ax, [bp + BPB_RESERVED_SECTORS - BOOT_ADDRESS]
        adc     dx, 0
        add     ax, [bp + BPB_HIDDEN_SECTORS - BOOT_ADDRESS]
        adc     dx, [bp + BPB_HIDDEN_SECTORS - BOOT_ADDRESS + 2]
        push    dx
        push    ax

        ; Data area: behind the root directory, 16 entries to a sector (the reads are of 512
        ; bytes, as every template's sectors are).
        mov     cx, [bp + BPB_ROOT_ENTRIES - BOOT_ADDRESS]
        add     cx, 15
        shr     cx, 4
        pop     ax
        pop     dx
        add     cx, ax
        mov     [bp + DATA_START], cx
        mov     cx, dx
        adc     cx, 0
        mov     [bp + DATA_START + 2], cx

        mov     bx, ROOT_BUFFER
        call    read_checked

        mov     si, system_names
        mov     di, ROOT_BUFFER
        mov     cx, 11
        repe    cmpsb
        jne     failure
        mov     di, ROOT_BUFFER + DIR_ENTRY_SIZE
        mov     cl, 11                  ; SI already points at the second name
        repe    cmpsb
        jne     failure

        ; IBMBIO.COM's first sector: data start + (cluster - 2) x sectors per cluster.
        mov     ax, [ROOT_BUFFER + DIR_FIRST_CLUSTER]
        sub     ax, 2
        jb      failure
        mov     cl, [bp + BPB_SECTORS_PER_CLUSTER - BOOT_ADDRESS]
        xor     ch, ch
        mul     cx
        add     ax, [bp + DATA_START]
        adc     dx, [bp + DATA_START + 2]

        mov     bx, IBMBIO_SEGMENT * 16
        mov     byte [bp + SECTORS_LEFT - BOOT_ADDRESS], IBMBIO_LOAD_SECTORS
.load:
        call    read_checked
        add     bx, 512
        add     ax, 1
        adc     dx, 0
        dec     byte [bp + SECTORS_LEFT - BOOT_ADDRESS]
        jnz     .load

        mov     dl, [bp + BPB_DRIVE_NUMBER - BOOT_ADDRESS]
        mov     ch, [bp + BPB_MEDIA - BOOT_ADDRESS]
        mov     bx, [bp + DATA_START]
        mov     ax, [bp + DATA_START + 2]
        pop     si
        pop     ds
        jmp     IBMBIO_SEGMENT:0

; Reads the sector DX:AX to ES:BX when it lies inside the volume; fails the boot otherwise.
read_checked:
        cmp     dx, [bp + VOLUME_END + 2]
        jb      .inside
        ja      failure
        cmp     ax, [bp + VOLUME_END]
        jae     failure
.inside:
        call    bios_read_sector
        jc      failure
        ret

failure:
        les     ax, [bp - 12]
        mov     [DISKETTE_VECTOR], ax
        mov     [DISKETTE_VECTOR + 2], es
        mov     si, msg_no_system
.next:
        lodsb
        test    al, al
        jz      .wait
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     .next
.wait:
        xor     ah, ah
        int     0x16
        int     0x19

%include "bios_disk.inc"

        ; The table's copy may only cover instructions that have run before it is made.
        times   -((copy_table - start) < DISKETTE_TABLE_SIZE) db 0

        pad_to  0x19E - 0x3E
msg_no_system:
        db      13, 10, "Non-System disk or disk error", 13, 10
        db      "Replace and press any key when ready", 13, 10, 0
        pad_to  0x1E6 - 0x3E
system_names:
        db      "IBMBIO  COM"
        db      "IBMDOS  COM"
        pad_to  0x1FE - 0x3E
