; The boot record program. One source, two variants: the release build and
; the debug build (-DDEBUG), which differ only in sector 0.
;
; Image layout (2,552 bytes: sector 0 and four marked sectors of 510):
;   0x000  sector 0: jump, BPB area, sector-0 code, boot record fields, 55 AA
;   0x200  16-byte header template (version 1.6)
;   0x210  stage 2, carried on the disk as a 510-byte-per-sector stream
;
; The BIOS loads sector 0 to 0x7C00. The start-up reads the disk's first
; sector again to 0x2000 and runs on from there, so the whole image is
; assembled for 0x2000: sector 0 at 0x2000, the header at 0x2200 and stage 2
; from 0x2210 once its sector marks are removed. The code that runs at
; 0x7C00 before that (up to the far jump) uses relative calls only.
;
; Memory (linear):
;   0x0600 / 0x0700   freedos / msdos destinations
;   0x07EE            first partition entry at hand-over
;   0x2000            sector 0 as read again; its partition slots 1 to 3
;                     hold the variables
;   0x2200            header and stage 2
;   0x2A00            block-move table
;   0x7BFC            ES:DI as the BIOS left them; the stack below, down to
;                     the block-move table
;   0x7C00            chain and syslinux destination
;   0x7E00            menu buffer (up to 64 sectors and 260 zeros)
;   0x10000           file list, marks removed
;   0x20000           grldr destination, freedos staging
;   0x80000           read buffer: every file read goes through it
;   0x90000 ...       linux real-mode part, heap and command line, below
;                     the base memory top (int 12h)
        bits 16
        cpu 386

%include "qxdefs.inc"

%ifdef DEBUG
CODE_START equ 0x28
%else
CODE_START equ 0x60
%endif
IMAGE_SIZE equ 2552

        section .text start=0 vstart=SEC0

        jmp short entry                 ; EB 5E (release) / EB 26 (debug)

; The "init" BPB template: 2 FATs, 63 sectors per track, 255 heads, drive 80h.
bpb:
        times 0x10 - ($ - $$) db 0
        db 2                            ; number of FATs
        times 0x18 - ($ - $$) db 0
        dw 63                           ; sectors per track
        dw 255                          ; heads
        times 0x24 - ($ - $$) db 0
        db 0x80                         ; drive number
        times CODE_START - ($ - $$) db 0
entry:
%ifdef DEBUG
        jmp short code_start

; dump: the debug line after a BIOS read: 16 words as four hexadecimal
; digits and a space each, by teletype: the word at 0x1AE of the buffer's
; segment, the last five words read (the data ends at AL * 512, buffers
; starting at offset 0), ES, the flags, DI SI BP SP BX DX CX AX as the read
; left them. in: the registers after the read. clobbers: AX, CX, DX, DI,
; flags (bios_read restores them).
dump:
        pusha
        pushf
        push es
        shl ax, 9
        xchg ax, di
        mov cx, 5
.last:  dec di
        dec di
        push word [es:di]
        loop .last
        push word [es:0x1AE]
        mov cl, 16
.word:  pop dx
        push cx
        mov cl, 4
.digit: rol dx, 4
        mov al, dl
        and al, 15
        cmp al, 10
        sbb al, 0x69
        das
        mov ah, 0x0E
        int 0x10
        loop .digit
        mov ax, 0x0E20
        int 0x10
        pop cx
        loop .word
        ret
%endif

; Everything from here on lies at the same place in both variants, since
; stage 2 calls into it; only the tail of bios_read, the last routine,
; differs. The release entry runs into it through the padding.
SHARED_AT equ 0x62
%if $ - $$ > SHARED_AT
%error "the debug dump runs into the common sector-0 code"
%endif
        times SHARED_AT - ($ - $$) db 0x90

; ---------------------------------------------------------------------------
; Start-up, running at 0x7C00 where the BIOS put it (relative code only).
; in: DL = boot drive, ES:DI as the BIOS left them
code_start:
        xor ax, ax
        mov ss, ax                      ; no interrupt before the next one
        mov sp, 0x7C00
        mov ds, ax
        cld
        push es                         ; ES:DI stay at BIOS_DI
        push di
        mov bp, FIELDS
        mov bx, SEC0 >> 4               ; cylinder 0, head 0, sector 1
        mov cx, 1
        mov dh, 0
        call read_chs_raw
        cmp word [V(magic)], 'QX'
        jne halt
        jmp 0:relocated

; Now running in the copy at 0x2000; its copy_no is the copy offset.
relocated:
        push ds
        pop es
        lea di, [V(VARS)]
        mov cl, VARS_LEN                ; CH is 0
        mov al, 0
        rep stosb
        mov byte [V(dap)], 0x10
        inc byte [V(dap_count)]
        mov word [V(dap_seg)], STAGE2 >> 4
        mov [V(drive)], dl
        ; LBA if the CHS bit is clear, the extensions answer and a test read
        ; of sector 544 (no copy offset) succeeds.
        test byte [V(max_sectors)], 0x80
        jnz chs_mode
        mov ah, 0x41
        mov bx, 0x55AA
        int 0x13
        jc chs_mode
        cmp bx, 0xAA55
        jne chs_mode
        shr cx, 1
        jnc chs_mode
        inc byte [V(lba_mode)]
        mov ax, 544
        call read1
        jnc read_hdr
        dec byte [V(lba_mode)]
chs_mode:
        ; Geometry probe: cylinder 0 head 1 sector 1 is view sector spt,
        ; cylinder 1 head 0 sector 1 is view sector spt * heads. Both
        ; quotients must be below 256 (a spt of 0 fails the heads check); a
        ; heads of 0 fails the cylinder check of every later read.
        mov cx, 1
        mov dh, 1
        call probe
        mov [V(spt)], al
        mov cx, 0x0101
        mov dh, 0
        call probe
        mov bl, [V(spt)]
        cmp ah, bl
        jae halt
        div bl
        mov [V(heads)], al
read_hdr:
        mov ax, [V(boot_base)]
        inc ax
        sub ax, [V(copy_no)]
        call read1
        jc halt
        jmp stage2

; probe: reads one sector by CHS to 0x2200 and gives its copy number (a
; boot record copy, which must carry "QX") or its mark, less the copy offset.
; in: CX, DH = CHS address. out: AX. clobbers: BX, DX, ES.
probe:
        mov dl, [V(drive)]
        mov bx, STAGE2 >> 4
        call read_chs_raw
        mov ax, [STAGE2 + 510]
        cmp ax, 0xAA55
        jne .mark
        cmp word [STAGE2 + F_MAGIC], 'QX'
        jne halt
        mov ax, [STAGE2 + F_COPY_NO]
.mark:  sub ax, [V(copy_no)]
        ret

; read_chs_raw: one sector by function 02h, with the retries of a single
; sector; halts when they all fail.
; in: BX = buffer segment (offset 0), CX, DH = CHS address, DL = drive.
; out: ES = BX. clobbers: AX, BX, DI.
read_chs_raw:
        mov es, bx
        xor bx, bx
        mov ax, 0x0201
        call try_read
        jc halt
        ret

; halt: stops for good, interrupts enabled.
halt:
        sti
        hlt
        jmp halt

; read1: one sector at BIOS-view sector AX (below 65536) to 0x2200
; (dap_count and dap_seg as set at start, the high word of dap_lba 0).
; out: CF on failure. clobbers: as xfer.
read1:
        mov [V(dap_lba)], ax

; xfer: one BIOS read of dap_count sectors at BIOS-view sector dap_lba to
; dap_seg:0000, by function 42h in LBA mode, else by 02h with the count cut
; at the end of the track (a cylinder above 1023 halts). After a failure
; dap_count holds the count asked for and the drive has been reset.
; in: BP. out: CF set on failure, dap_count. clobbers: EAX, EBX, ECX,
; EDX, SI, DI, ES.
xfer:
        mov ax, [V(dap_count)]
        lea si, [V(dap)]
        mov ah, 0x42
        test byte [V(lba_mode)], 1
        jnz .go
        mov al, [V(spt)]
        mul byte [V(heads)]
        xchg ax, bx
        mov ax, [V(dap_lba)]
        mov dx, [V(dap_lba) + 2]
        cmp dx, bx                      ; the cylinder must fit 16 bits
        jae halt
        div bx
        cmp ah, 4                       ; and 10 bits for CHS
        jae halt
        mov ch, al
        shl ah, 6
        mov cl, ah
        xchg ax, dx
        div byte [V(spt)]               ; AL = head, AH = sector index
        mov dh, al
        mov al, [V(spt)]
        sub al, ah                      ; sectors left on the track
        inc ah
        or cl, ah
        cmp al, [V(dap_count)]
        jb .cut
        mov al, [V(dap_count)]
.cut:   mov [V(dap_count)], al
        mov ah, 2
.go:    mov dl, [V(drive)]
        mov es, [V(dap_seg)]
        xor bx, bx

; try_read: a BIOS read; a single sector that fails is tried again, four
; tries in all (each failure resets the drive). A failed read leaves the
; count it asked for in dap_count (harmless before the variables are set:
; the read that fills them is tried again).
; in: as bios_read. out: CF set when it failed. clobbers: DI.
try_read:
        mov di, 4
.again: call bios_read
        jnc .ok
        mov [V(dap_count)], al
        cmp al, 1
        jne .fail
        dec di
        jnz .again
.fail:  stc
.ok:    ret

; bios_read: one int 13h read, carry set beforehand, interrupts enabled and
; the direction flag cleared after; a failed read resets the drive. The
; debug build prints its dump line after the read, keeping the read's flags
; around the dump. It comes last in sector 0 so that the debug build's
; extra bytes take the end of the code area (see below).
; in: AX, CX, DX, ES:BX, SI as int 13h takes them. out: CF. clobbers: -.
bios_read:
        pushad
        stc
        int 0x13
        sti
        cld
%ifdef DEBUG
        pushf
        call dump
        popf
%endif
        popad                           ; leaves the flags alone
        jnc .ok
        push ax
        mov ah, 0
        int 0x13
        pop ax
        stc
.ok:    ret

; The info command of the disk tool tells the variants apart by byte 0x1A8
; of a boot record: the debug variant's code reaches it, the release
; variant's ends before it and leaves 0x1A8 up to the fields zero.
sector0_code_end:
%if sector0_code_end - $$ > 0x1AD
%error "sector-0 code runs into the boot record fields"
%endif
%ifdef DEBUG
%if sector0_code_end - $$ <= 0x1A8
%error "the debug sector-0 code must reach byte 0x1A8"
%endif
%elif sector0_code_end - $$ > 0x1A8
%error "the release sector-0 code must end before byte 0x1A8"
%endif
        times 0x1AD - ($ - $$) db 0
        db 63                           ; max_sectors
        dw 0                            ; copy_no
        db 63                           ; spt
        db 255                          ; heads
        dw 0                            ; boot_base
        db "QXBF"                       ; magic
        times 0x1FE - ($ - $$) db 0
        db 0x55, 0xAA

; Header template: boot_size, reserved, version 1.6, list_used, list_sectors,
; pri_size, ext_size.
header:
        dw 0, 0
        db 1, 6
        dw 0, 0, 0
        dd 0

%include "stage2.inc"

stage2_end:
%if stage2_end - $$ > IMAGE_SIZE
%error "stage 2 does not fit the boot code sectors"
%endif
        times IMAGE_SIZE - ($ - $$) db 0
