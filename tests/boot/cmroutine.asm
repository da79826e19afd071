; The unpacking routine of the test's "CM" file, entered by a far call at
; offset 4 of its paragraph (after "CM" and its offset). Its blocks are
; stored as they are: CX sectors are copied from DS:SI to ES:DI, and SI is
; returned one byte past the next block's head, as such routines do.
        bits 16
.sector:
        push cx
        mov cx, 512
        rep movsb
        pop cx
        loop .sector
        inc si
        clc
        retf
