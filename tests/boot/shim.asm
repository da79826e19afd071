; Test shim on a boot floppy: hooks int 13h for the hard disks, then starts
; the first hard disk's sector 0 as the BIOS would (DL = 80h, ES:DI as
; below). Its options sit after the "SHIM" mark and are set by the tests:
;   no_ext   1: functions 41h to 48h fail on hard disks (a BIOS without
;            extensions, so the program must read by CHS)
;   max_read reads of more sectors than this fail (0 = no limit)
;   next_max when not 0, becomes max_read after the first read of more
;            than one sector succeeds
;   keys     up to 4 key codes put into the keyboard buffer before starting
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
        ; 1 KiB off the top of base memory, the shim copied there.
        dec word [0x413]
        mov ax, [0x413]
        shl ax, 6
        mov es, ax
        mov si, 0x7C00
        xor di, di
        mov cx, 256
        rep movsw
        push es
        push relocated
        retf
relocated:
        push cs
        pop ds
        xor ax, ax
        mov es, ax
        mov eax, [es:0x13 * 4]
        mov [old13], eax
        mov word [es:0x13 * 4], hook
        mov [es:0x13 * 4 + 2], cs
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
        cmp byte [cs:max_read], 0
        je .fits
        cmp al, [cs:max_read]
        jbe .fits
        pop ax
        cmp ah, 0x42
        jne .nodap
        mov word [si + 2], 0
.nodap: mov ah, 0x0C
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
last_count: db 0
        db "SHIM"
no_ext:   db 0
max_read: db 0
keys:     dw 0, 0, 0, 0
next_max: db 0
        times 510 - ($ - $$) db 0
        db 0x55, 0xAA
