; Test payload started by the boot record program. It reports how it was
; entered on the debug port (0xE9) and ends QEMU through isa-debug-exit
; (port 0xF4, exit status 33), Bochs through its shutdown port.
;
; Defines: SKIP=n puts n filler bytes before the code (the msdos method
; skips the file's first 2048 bytes); JUMP_D=d starts the file with EB d and
; room for a BPB, as a boot sector or loader does.
;
; Report lines:
;   R fl=.. di=.. si=.. bp=.. sp=.. bx=.. dx=.. cx=.. ax=.. cs=.. ds=.. es=.. ss=.. ip=..
;   M <address> <hex bytes>          for each dump entry of the parameter block
;   H <address> <length> <fnv-1a>    for each hash entry
;   E
; The parameter block after the "PRMS" mark holds up to 8 entries of
; u32 address, u32 length, u8 kind (0 dump, 1 hash); a length of 0 ends it.
        bits 16
        cpu 386
        org 0

%ifdef SKIP
        times SKIP db 0x5A
%endif
start:
%ifdef JUMP_D
        jmp short entry
        times JUMP_D + 2 - ($ - start) db 0
%endif
entry:
        pushad                          ; ESP as it was at entry
        pushf
        push ss
        push es
        push ds
        push cs
        call .here
.here:  pop bx
        sub bx, .here - start           ; offset of the file start in CS
        push bx
        mov bp, sp
        push cs
        pop ds
        cld
        ; R line: words from the stack in this order.
        lea si, [bx + names - start]
        mov al, 'R'
        call putc
        mov cx, 14
.reg:   mov al, ' '
        call putc
        lodsw
        call putc
        mov al, ah
        call putc
        mov al, '='
        call putc
        movzx di, byte [si]
        inc si
        mov ax, [bp + di]
        call hex16
        loop .reg
        call newline
        ; Parameter entries.
        lea si, [bx + params - start]
.entry: mov eax, [si + 4]
        test eax, eax
        jz .done
        mov edx, [si]
        mov al, 'M'
        cmp byte [si + 8], 0
        je .kind
        mov al, 'H'
.kind:  call putc
        mov al, ' '
        call putc
        mov eax, edx
        call hex32
        mov ecx, [si + 4]
        ; ES:DI = the address
        mov eax, edx
        shr eax, 4
        mov es, ax
        and dx, 15
        mov di, dx
        cmp byte [si + 8], 0
        jne .hash
.dump:  mov al, ' '
        call putc
        mov al, [es:di]
        call hex8
        call next
        loop .dump
        jmp .eol
.hash:  mov al, ' '
        call putc
        mov eax, ecx
        call hex32
        mov edx, 0x811C9DC5
.byte:  xor dl, [es:di]
        imul edx, edx, 0x01000193
        call next
        dec ecx
        jnz .byte
        mov al, ' '
        call putc
        mov eax, edx
        call hex32
.eol:   call newline
        add si, 9
        jmp .entry
.done:  mov al, 'E'
        call putc
        call newline
        mov al, 0x10
        out 0xF4, al
        ; Under Bochs, which has no exit device: "Shutdown" on port 8900h.
        lea si, [bx + shutdown - start]
        mov dx, 0x8900
        mov cx, 8
        rep outsb
.halt:  hlt
        jmp .halt

; next: ES:DI one byte on, the segment stepping at 64 KiB.
next:   inc di
        jnz .r
        mov ax, es
        add ax, 0x1000
        mov es, ax
.r:     ret

putc:   out 0xE9, al
        ret
newline:
        mov al, 10
        jmp putc
hex32:  push eax
        shr eax, 16
        call hex16
        pop eax
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

shutdown: db "Shutdown"

; Names and stack offsets (from BP) of the R line's words.
names:  db "fl", 10, "di", 12, "si", 16, "bp", 20, "sp", 24, "bx", 28
        db "dx", 32, "cx", 36, "ax", 40, "cs", 2, "ds", 4, "es", 6, "ss", 8
        db "ip", 0

        db "PRMS"
params: times 8 * 9 + 4 db 0
