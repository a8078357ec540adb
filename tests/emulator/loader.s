; LOADER: the machine code of the protected-style test tapes (tests/emulator/Protected_tapes.cpp
; writes the tapes; scripts/protected-load-test.sh loads them in the emulator). It is loaded
; and run by the cassette filing system (*RUN LOADER) and then reads the rest of the tape
; itself, as protected games' loaders do: interrupts off, the cassette motor switched on
; through the serial ULA, and the 6850 ACIA polled for each byte in whatever framing and at
; whatever rate the stretch of tape has.
;
; What to read comes from a table of steps that the tape generator appends to this code (it
; starts at the label "steps", the last thing here). Each step is a byte, then its arguments:
;
;   0 END                      the tape is read: the verdict is LOADED
;   1 MODE control             master reset of the ACIA, then its control register set
;                              (word select and divider: &15 8N1, &11 8N2, &1D 8O1, &19 8E1,
;                              &01 7E2, ..., /16 for 1200 baud, /64 (&16 8N1) for 300 baud)
;   2 FRAMING control          control register set without a reset: the next byte, which
;                              may follow at once, is read in the new framing
;   3 CARRIER                  waits for the carrier tone (the ACIA's DCD), then drops
;                              whatever half-read byte came before it
;   4 GAP min.w max.w          as CARRIER, and the wait, in centiseconds, must lie within
;                              min to max (a loader timing the gap between two stretches)
;   5 SYNC value               reads bytes, whatever their framing errors, up to value
;   6 EXPECT value             the next byte must be value
;   7 READ address.w length.w  the next length bytes go to address
;   8 SUM                      the next two bytes must be the sum of the bytes read since
;                              the last SUM or CLEAR (low byte first)
;   9 CUSTOM sync number       a block of this loader's own: sync, then number, address.w,
;                              length.w and a check byte (the header bytes exclusive-ored
;                              with &5A), then the data, then its sum
;  10 STANDARD flags           a cassette filing system block read byte by byte: sync &2A,
;                              name, header, header CRC, data and data CRC (CRCs high byte
;                              first); with flags bit 0 the header CRC must be wrong (a
;                              protection block); the data goes to the block's load address
;  11 CLEAR                    the sum starts again from 0
;
; Every byte but those SYNC skips must arrive without a framing, parity or overrun error, and
; within 30 seconds. The verdict is printed on the screen ("LOADED", or the step that failed
; and why) and kept at "result" (0 loaded, else the reason) and "failed" (the step's number,
; from 1).

osasci = $FFE3
osnewl = $FFE7

acia_status = $FE08
acia_control = $FE08
acia_data = $FE09
serial_ula = $FE10
ula_copy = $0282          ; the OS's copy of the serial ULA's register
via_t1_low = $FE44        ; system VIA: reading it clears the timer 1 flag
via_ifr = $FE4D           ; system VIA: bit 6 set each time timer 1 runs out (every 10 ms)

; Reasons for a failure, as kept at "result".
r_timeout = 1
r_framing = 2
r_byte = 3
r_sum = 4
r_header = 5
r_header_crc = 6
r_data_crc = 7
r_gap = 8
r_step = 9

timeout_pages = 12        ; 12 * 256 centiseconds, about 30 s

; Zero page: the user's part, &70 to &8F.
ptr = $70                 ; the next byte of the step table
dst = $72                 ; where the next byte read goes
count = $74               ; bytes still to read
sum = $76                 ; running sum of the bytes read
crc = $78                 ; CRC-16 of a standard block's header or data (high, low)
ticks = $7A               ; centiseconds waited for the present byte or carrier
control = $7C             ; the ACIA's control register as set
want = $7D                ; the byte SYNC and EXPECT look for
stepno = $7E              ; the present step's number
flags = $7F

        * = $1900

start   tsx
        stx saved_sp
        sei
        lda #0
        sta result
        sta failed
        sta stepno
        lda #<steps
        sta ptr
        lda #>steps
        sta ptr+1
        lda ula_copy            ; cassette selected, motor on
        and #$3F
        ora #$80
        sta serial_ula
        lda #3                  ; a master reset, then 8N1 at 1200 baud
        sta acia_control
        lda #$15
        sta acia_control
        sta control
        jsr clear

; The step interpreter.
next    inc stepno
        jsr fetch
        cmp #12
        bcc known
        ldx #r_step
        jmp fail
known   asl
        tax
        lda handlers,x
        sta vector
        lda handlers+1,x
        sta vector+1
        jmp (vector)

handlers
        .word do_end, do_mode, do_framing, do_carrier, do_gap, do_sync
        .word do_expect, do_read, do_sum, do_custom, do_standard, do_clear

; A = the next byte of the step table.
fetch   ldy #0
        lda (ptr),y
        inc ptr
        bne fetched
        inc ptr+1
fetched rts

do_end  ldx #0
        jmp finish

do_mode lda #3
        sta acia_control
do_framing
        jsr fetch
        sta acia_control
        sta control
        jmp next

do_carrier
        jsr carrier
        jmp next

do_gap  jsr fetch               ; min, max into header+0..3
        sta header
        jsr fetch
        sta header+1
        jsr fetch
        sta header+2
        jsr fetch
        sta header+3
        jsr carrier
        lda ticks               ; ticks - min must not borrow
        cmp header
        lda ticks+1
        sbc header+1
        bcc gap_bad
        lda header+2            ; max - ticks must not borrow
        cmp ticks
        lda header+3
        sbc ticks+1
        bcc gap_bad
        jmp next
gap_bad ldx #r_gap
        jmp fail

do_sync jsr fetch
        sta want
        jsr sync
        jmp next

do_expect
        jsr fetch
        sta want
        jsr getbyte
        cmp want
        beq expected
        ldx #r_byte
        jmp fail
expected
        jmp next

do_read jsr fetch
        sta dst
        jsr fetch
        sta dst+1
        jsr fetch
        sta count
        jsr fetch
        sta count+1
        jsr readdata
        jmp next

do_sum  jsr checksum
        jmp next

do_clear
        jsr clear
        jmp next

; CUSTOM sync number: this loader's own block.
do_custom
        jsr fetch
        sta want
        jsr fetch
        sta flags               ; the block number wanted
        jsr sync
        jsr clear
        ldx #0
custom_header
        jsr getbyte
        sta header,x
        inx
        cpx #6
        bne custom_header
        lda #$5A
        ldx #4
custom_check
        eor header,x
        dex
        bpl custom_check
        cmp header+5
        bne custom_bad
        lda header
        cmp flags
        bne custom_bad
        lda header+1
        sta dst
        lda header+2
        sta dst+1
        lda header+3
        sta count
        lda header+4
        sta count+1
        jsr readdata
        jsr checksum
        jmp next
custom_bad
        ldx #r_header
        jmp fail

; STANDARD flags: a cassette filing system block, read as the bytes it is.
do_standard
        jsr fetch
        sta flags
        lda #$2A
        sta want
        jsr sync
        jsr clear
        ldx #11                 ; the name and its 0: at most 11 bytes
std_name
        jsr getbyte
        pha
        jsr crcbyte
        pla
        beq std_named
        dex
        bne std_name
        ldx #r_header
        jmp fail
std_named
        ldx #0
std_header
        jsr getbyte
        sta header,x
        jsr crcbyte
        inx
        cpx #17
        bne std_header
        jsr getbyte             ; the header CRC, high byte first
        eor crc
        sta want
        jsr getbyte
        eor crc+1
        ora want                ; 0 where the CRC is right
        beq std_crc_right
        lda flags               ; wrong: right only for a protection block
        and #1
        bne std_data
        ldx #r_header_crc
        jmp fail
std_crc_right
        lda flags
        and #1
        beq std_data
        ldx #r_header_crc
        jmp fail
std_data
        lda header              ; the load address, low 16 bits
        sta dst
        lda header+1
        sta dst+1
        lda header+10           ; the data's length
        sta count
        lda header+11
        sta count+1
        ora count
        beq std_done            ; a block without data has no data CRC
        lda #0
        sta crc
        sta crc+1
        jsr readdata
        jsr getbyte
        cmp crc
        bne std_data_bad
        jsr getbyte
        cmp crc+1
        bne std_data_bad
std_done
        jmp next
std_data_bad
        ldx #r_data_crc
        jmp fail

; The sum and the CRC start again from 0.
clear   lda #0
        sta sum
        sta sum+1
        sta crc
        sta crc+1
        rts

; Reads count bytes to dst, adding each to the sum and the CRC.
readdata
        lda count
        ora count+1
        beq read_done
        jsr getbyte
        ldy #0
        sta (dst),y
        pha
        clc
        adc sum
        sta sum
        bcc read_summed
        inc sum+1
read_summed
        pla
        jsr crcbyte
        inc dst
        bne read_counted
        inc dst+1
read_counted
        lda count
        bne read_low
        dec count+1
read_low
        dec count
        jmp readdata
read_done
        rts

; The next two bytes must be the sum (low byte first); the sum starts again from 0.
checksum
        jsr getbyte
        cmp sum
        bne sum_bad
        jsr getbyte
        cmp sum+1
        bne sum_bad
        jmp clear
sum_bad ldx #r_sum
        jmp fail

; Adds A to the CRC-16 of the cassette filing system (polynomial &1021, from 0). X is kept.
crcbyte eor crc
        sta crc
        ldy #8
crc_bit asl crc+1
        rol crc
        bcc crc_next
        lda crc
        eor #$10
        sta crc
        lda crc+1
        eor #$21
        sta crc+1
crc_next
        dey
        bne crc_bit
        rts

; Reads bytes, errors and all, up to the byte in want.
sync    jsr rawbyte
        cmp want
        bne sync
        rts

; A = the next byte, which must come without a framing, parity or overrun error. X is kept.
getbyte jsr waitbyte
        and #$70
        bne framing_bad
        lda acia_data
        rts
framing_bad
        ldx #r_framing
        jmp fail

; A = the next byte, whatever its errors. X is kept.
rawbyte jsr waitbyte
        lda acia_data
        rts

; Waits until the ACIA holds a byte; A = its status. X is kept.
waitbyte
        jsr arm
wait_loop
        lda acia_status
        lsr
        bcs wait_done
        jsr tick
        jmp wait_loop
wait_done
        lda acia_status
        rts

; Waits for the carrier tone: the DCD the ACIA latches when the tone has lasted a while. The
; DCD of a carrier found before is first let go (a read of the data register clears the
; latch, and the line drops a moment after it rose). Then a master reset drops any byte
; half-read before the tone, and the control register is set again.
carrier jsr arm
carrier_clear
        lda acia_data
        lda acia_status
        and #4
        beq carrier_loop
        jsr tick
        jmp carrier_clear
carrier_loop
        lda acia_status
        and #4
        bne carrier_found
        jsr tick
        jmp carrier_loop
carrier_found
        lda #3
        sta acia_control
        lda control
        sta acia_control
        rts

; Starts counting centiseconds.
arm     lda #0
        sta ticks
        sta ticks+1
        rts

; Counts a centisecond each time the system VIA's timer 1 has run out; fails when the count
; reaches the time-out. X is kept.
tick    bit via_ifr
        bvc ticked
        lda via_t1_low
        inc ticks
        bne ticked
        inc ticks+1
        lda ticks+1
        cmp #timeout_pages
        bcs timed_out
ticked  rts
timed_out
        ldx #r_timeout
        jmp fail

; The end, loaded or failed (X = the reason): the ACIA reset, the motor off, interrupts on
; again, and the verdict printed.
fail    stx result
        lda stepno
        sta failed
finish  ldx saved_sp
        txs
        lda #3
        sta acia_control
        lda ula_copy
        and #$3F
        sta serial_ula
        cli
        jsr osnewl
        lda result
        bne print_failure
        ldx #0
        jsr print
        jmp osnewl
print_failure
        ldx #t_failed-texts
        jsr print
        lda failed
        jsr print_hex
        lda #':'
        jsr osasci
        lda #' '
        jsr osasci
        ldx result
        lda reasons-1,x
        tax
        jsr print
        jmp osnewl

; Prints the text at texts+X, up to a 0.
print   lda texts,x
        beq printed
        jsr osasci
        inx
        bne print
printed rts

print_hex
        pha
        lsr
        lsr
        lsr
        lsr
        jsr print_digit
        pla
        and #$0F
print_digit
        cmp #10
        bcc digit
        adc #6                  ; carry set: 'A' - '0' - 10 - 1
digit   adc #'0'
        jmp osasci

texts   .asc "LOADED", 0
t_failed
        .asc "FAILED AT STEP ", 0
t_timeout
        .asc "TIMEOUT", 0
t_framing
        .asc "FRAMING ERROR", 0
t_byte  .asc "WRONG BYTE", 0
t_sum   .asc "BAD SUM", 0
t_header
        .asc "BAD HEADER", 0
t_header_crc
        .asc "HEADER CRC", 0
t_data_crc
        .asc "DATA CRC", 0
t_gap   .asc "GAP NOT TIMED", 0
t_step  .asc "BAD STEP", 0
reasons .byt t_timeout-texts, t_framing-texts, t_byte-texts, t_sum-texts, t_header-texts
        .byt t_header_crc-texts, t_data_crc-texts, t_gap-texts, t_step-texts

result  .byt 0
failed  .byt 0
saved_sp
        .byt 0
vector  .word 0
header  .dsb 17           ; a block's header fields

; The step table follows here.
steps
