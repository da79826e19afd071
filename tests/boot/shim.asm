; Test shim on a boot floppy (three sectors): hooks int 13h for the hard
; disks, and int 16h and 1Ah when asked, then starts the first hard disk's
; sector 0 as the BIOS would (DL = 80h, ES:DI as below). It plays the
; quirks of other PC BIOSes. Its options sit after the "SHIM" mark and are
; set by the tests:
;   no_ext   1: functions 41h to 48h fail on hard disks (a BIOS without
;            extensions, so the program must read by CHS)
;   max_read reads of more sectors than this fail (0 = no limit)
;   keys     up to 4 key codes put into the keyboard buffer before starting
;   next_max when not 0, becomes max_read after the first read of more
;            than one sector succeeds
;   flaky    1: every second hard-disk read fails (status 80h) without
;            reaching the BIOS; the shim's own first read passes
;   drop_ext 1: functions 00h and 01h of int 16h drop enhanced-only keys
;            (scan code above 84h or character F0h), as IBM-compatible
;            BIOSes do; 10h and 11h pass them
;   no_enh   1: the BIOS data area reports no enhanced keyboard
;   ebda     KiB taken off the top of base memory besides the shim's own
;            2 KiB, filled with A5h (an extended BIOS data area)
;   ticks    when not 0, int 1Ah function 00h counts from this value, one
;            tick per call; after 1800AFh it gives 0 and the midnight flag
; Every hard-disk call of functions 00h, 02h, 41h and 42h is logged on the
; debug port: "13 <ah> <count> <chs or lba> <ok|fail>".
        bits 16
        cpu 386
        org 0

        cli
        xor ax, ax
        mov ds, ax
        mov ss, ax
        mov sp, 0x7C00
        sti
        cld
        ; The other two sectors after the first.
        mov ax, 0x0202
        mov cx, 2
        mov dh, 0
        mov bx, 0x7E00
        int 0x13
        jc start_halt
        ; The A5h area, then 2 KiB for the shim, off the top of base memory.
        movzx cx, byte [0x7C00 + ebda - $$]
        mov ax, [0x413]
        sub ax, cx
        shl ax, 6
        mov es, ax
        shl cx, 10
        xor di, di
        mov al, 0xA5
        rep stosb
        mov ax, es
        sub ax, 2 << 6
        mov es, ax
        shr ax, 6
        mov [0x413], ax
        mov si, 0x7C00
        xor di, di
        mov cx, 768
        rep movsw
        push es
        push relocated
        retf
start_halt:
        hlt
        jmp start_halt
        times 510 - ($ - $$) db 0
        db 0x55, 0xAA

; The other sectors: run from the copy at the top of base memory.
relocated:
        push cs
        pop ds
        xor ax, ax
        mov es, ax
        mov eax, [es:0x13 * 4]
        mov [old13], eax
        mov word [es:0x13 * 4], hook
        mov [es:0x13 * 4 + 2], cs
        mov eax, [es:0x16 * 4]
        mov [old16], eax
        mov word [es:0x16 * 4], hook16
        mov [es:0x16 * 4 + 2], cs
        cmp dword [ticks], 0
        je .clock
        mov word [es:0x1A * 4], hook1a
        mov [es:0x1A * 4 + 2], cs
.clock: cmp byte [no_enh], 0
        je .enh
        and byte [es:0x496], ~0x10
.enh:
        ; Keys waiting before the program starts.
        mov si, keys
        mov bx, 4
.key:   lodsw
        test ax, ax
        jz .keys_done
        xchg cx, ax
        mov ah, 0x05
        int 0x16
        dec bx
        jnz .key
.keys_done:
        ; Sector 0 of the hard disk to 0:7C00.
        mov ax, 0x0201
        mov cx, 1
        mov dx, 0x0080
        mov bx, 0x7C00
        int 0x13
        jc .halt
        mov ax, 0x1234
        mov es, ax
        mov di, 0x5678
        xor ax, ax
        mov ds, ax
        mov dl, 0x80
        jmp 0:0x7C00
.halt:  hlt
        jmp .halt

hook:
        sti
        cmp dl, 0x80
        jb .pass
        cmp ah, 0x41
        jb .known
        cmp ah, 0x48
        ja .pass
        test byte [cs:no_ext], 1
        jz .known
        cmp ah, 0x41
        jne .refuse
        call log_call
.refuse:
        mov ah, 0x01
        jmp .fail
.known: cmp ah, 0x00
        je .log
        cmp ah, 0x02
        je .read
        cmp ah, 0x41
        je .log
        cmp ah, 0x42
        jne .pass
.read:  call log_call
        push ax
        call count
        mov [cs:last_count], al
        cmp byte [cs:flaky], 0
        je .steady
        xor byte [cs:flip], 1
        jz .refused
.steady:
        cmp byte [cs:max_read], 0
        je .fits
        cmp al, [cs:max_read]
        jbe .fits
.refused:
        pop ax
        cmp ah, 0x42
        jne .nodap
        mov word [si + 2], 0
.nodap: mov ah, 0x0C
        cmp byte [cs:flaky], 0
        je .fail
        mov ah, 0x80
.fail:  push ax
        mov al, 'x'
        call putc
        call nl
        pop ax
        stc
        retf 2
.fits:  pop ax
        jmp .call
.log:   call log_call
        mov byte [cs:last_count], 0
.call:  pushf
        call far [cs:old13]
        pushf
        push ax
        mov al, 'k'
        jnc .okc
        mov al, 'x'
        jmp .put
.okc:   cmp byte [cs:last_count], 1
        jbe .put
        cmp byte [cs:next_max], 0
        je .put
        push ax
        mov al, [cs:next_max]
        mov [cs:max_read], al
        mov byte [cs:next_max], 0
        pop ax
.put:   call putc
        call nl
        pop ax
        popf
        retf 2
.pass:  jmp far [cs:old13]

; hook16: with drop_ext, functions 00h and 01h skip enhanced-only keys.
hook16:
        cmp byte [cs:drop_ext], 0
        je .pass
        cmp ah, 0x01
        je .check
        cmp ah, 0x00
        jne .pass
.read:  mov ah, 0x00
        pushf
        call far [cs:old16]
        call enhanced_only
        jc .read
        iret
.check: mov ah, 0x01
        pushf
        call far [cs:old16]
        jz .none
        call enhanced_only
        jnc .have
        mov ah, 0x00
        pushf
        call far [cs:old16]
        jmp .check
.have:  test sp, sp                     ; ZF clear: a key
        sti
        retf 2
.none:  cmp ax, ax                      ; ZF set: none
        sti
        retf 2
.pass:  jmp far [cs:old16]

; enhanced_only: CF set for a key that only the enhanced functions give.
; in: AX. clobbers: flags.
enhanced_only:
        cmp al, 0xF0
        stc
        je .r
        cmp ah, 0x85
        cmc
.r:     ret

; hook1a: function 00h from the shim's own count (see ticks).
hook1a:
        cmp ah, 0
        jne .pass
        mov al, 0
        mov edx, [cs:ticks]
        cmp edx, 0x1800B0
        jb .same
        xor edx, edx
        inc ax
.same:  inc edx
        mov [cs:ticks], edx
        dec edx
        push edx
        pop dx
        pop cx
        iret
.pass:  jmp far [cs:old1a]

; count: the sectors a read asks for. out: AL. in: AH, AL, DS:SI.
count:  cmp ah, 0x42
        jne .r
        mov al, [si + 2]
.r:     ret

; log_call: "13 <ah> <count> <cx dh | lba> " on the debug port.
log_call:
        pusha
        push ax
        mov al, '1'
        call putc
        mov al, '3'
        call putc
        call sp_
        pop ax
        push ax
        mov al, ah
        call hex8
        call sp_
        pop ax
        push ax
        call count
        call hex8
        call sp_
        pop ax
        cmp ah, 0x42
        je .lba
        mov ax, cx
        call hex16
        mov al, dh
        call hex8
        jmp .end
.lba:   mov ax, [si + 10]
        call hex16
        mov ax, [si + 8]
        call hex16
.end:   call sp_
        popa
        ret

sp_:    mov al, ' '
putc:   out 0xE9, al
        ret
nl:     mov al, 10
        jmp putc
hex16:  push ax
        mov al, ah
        call hex8
        pop ax
hex8:   push ax
        shr al, 4
        call .nib
        pop ax
.nib:   and al, 15
        cmp al, 10
        sbb al, 0x69
        das
        jmp putc

old13:  dd 0
old16:  dd 0
old1a:  dd 0xF000FEA5
last_count: db 0
flip:   db 0
        db "SHIM"
no_ext:   db 0
max_read: db 0
keys:     dw 0, 0, 0, 0
next_max: db 0
flaky:    db 0
drop_ext: db 0
no_enh:   db 0
ebda:     db 0
ticks:    dd 0
%if $ - $$ > 1536
%error "the shim is larger than its three sectors"
%endif
        times 1536 - ($ - $$) db 0
