; The boot record program. One source, two variants: the release build and
; the debug build (-DDEBUG), which differ only in sector 0.
;
; Image layout (2,160 bytes):
;   0x000  sector 0: jump, BPB area, sector-0 code, boot record fields, 55 AA
;   0x200  16-byte header template (version 1.6)
;   0x210  stage 2, carried on the disk as a 510-byte-per-sector stream
        bits 16
        cpu 386

%ifdef DEBUG
CODE_START equ 0x28
%else
CODE_START equ 0x60
%endif
IMAGE_SIZE equ 2160

        section .text start=0

        jmp short code_start            ; EB 5E (release) / EB 26 (debug)

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

code_start:
        cli
.halt:  hlt
        jmp short .halt

sector0_code_end:
%if sector0_code_end - $$ > 0x1AD
%error "sector-0 code runs into the boot record fields"
%endif
        times 0x1AD - ($ - $$) db 0
max_sectors:    db 63
copy_no:        dw 0
spt:            db 63
heads:          db 255
boot_base:      dw 0
magic:          db "QXBF"
        times 0x1FE - ($ - $$) db 0
        db 0x55, 0xAA

; Header template: boot_size, reserved, version 1.6, list_used, list_sectors,
; pri_size, ext_size.
header:
        dw 0, 0
        db 1, 6
        dw 0, 0, 0
        dd 0

stage2:
stage2_end:
%if stage2_end - $$ > IMAGE_SIZE
%error "stage 2 does not fit the boot code sectors"
%endif
        times IMAGE_SIZE - ($ - $$) db 0
