// builtin_dialects.cpp - the monitors the program knows, as the same
// descriptions a user writes for --dialect FILE (the manual page documents
// the format). "vexlor --dialect-show NAME" prints one of them.
#include "dialogue/dialect_description.h"

namespace {

// The bank/offset/dump monitor: bank and offset set the address, the
// operator's dump word shows the block at it, and ">" asks for the next
// command.
const char kDefault[] =
    R"toml(# The bank/offset/dump monitor; the command words come from the command line.
name = "default"
prompt = ">"
ask_prompt = "\r\n"
# A two-digit bank sets only address bits 16 to 23: the monitor's idea of
# the upper byte is not checked.
address_check = "bank"

[commands]
bank = "{word1} {bank:02X}\r\n"
long_bank = "{word1} {bank:04X}\r\n"
offset = "{word2} {offset:04X}\r\n"
dump = "{word3}\r\n"

# 0001C000 00 11 22 33 44 55 66 77-88 99 AA BB CC DD EE FF  ..."3DUfw........
[line]
min_length = 70
first_pair = 8
pairs_end = 57
pair_gaps = " -"
text_column = 58
text = "any"
)toml";

// U-Boot: "md.b ADDRESS 80" shows a block as "0001c000: 0a 00 ... 00  text".
// A command ends with a carriage return alone: U-Boot ends a line at either
// 13 or 10, and an empty line repeats the last command, so a line feed after
// the return would run a crc32 twice. Ctrl+C brings a fresh prompt
// ("<INTERRUPT>") where a bare line end would repeat the last md.
const char kUBoot[] = R"toml(# U-Boot's console.
name = "uboot"
word = "md.b"
prompt = "=> "
ask_prompt = "\u0003"
address_check = "all"
# The exception handlers of arm64, 32-bit ARM and riscv64 print one of
# these and reset the board: an address that is not mapped aborts the md.b.
faults = ["\"Synchronous Abort\" handler", "\"SError\" handler", "data abort",
          "prefetch abort", "undefined instruction", "Resetting CPU",
          "Unhandled exception: ", "resetting ..."]
# Once it counts down to its autoboot it takes keys again (one typed while
# riscv64's board resets under QEMU stops its input for good).
restart_ready = "Hit any key to stop autoboot"

[commands]
dump = "md.b {addr:08X} {len:x}\r"
unknown = "Unknown command '{command}' - try 'help'"

# 0001c000: 0a 00 00 14 1f 20 03 d5 00 00 00 00 00 00 00 00  ..... ..........
[line]
min_length = 75
after_address = ":"
digits = "lower"
first_pair = 10
pairs_end = 57
text_column = 59
text = "printable"

[checksum]
command = "crc32 {addr:08X} {len:x}\r"
answer = "crc32 for {addr:08x} ... {last:08x} ==> {value:08x}"
algorithm = "crc32"
)toml";

// A shell on the target reading --file: "hexdump -C -v" shows a block as
// "00001000  27 05 19 56 4f 8d 12 35  00 12 a3 4c 00 00 00 00  |'..VO..5...L....|",
// the offset in the file first; crc32 confirms blocks. The opening line
// turns the echo off and sets a prompt of our own, keeping the operator's
// (once, as the line may be sent again to get back in step); the farewell
// puts both back. The empty line it prints ends whatever the line held, so
// that the prompt after it stands alone on its line even when noise ate the
// line end before it. Bytes are counted from --file's start: dd with bs=1
// seeks to any offset, not only to whole blocks.
const char kShell[] = R"toml(# A shell on the target (BusyBox or any POSIX shell) reading --file.
name = "shell"
word = "hexdump"
prompt = "vexlor> "
ask_prompt = "VEXLOR_PS1=${VEXLOR_PS1-$PS1}; stty -echo; PS1='vexlor> '; echo\r"
farewell = "stty echo; PS1=$VEXLOR_PS1; unset VEXLOR_PS1\r"
address_check = "all"
# What the shell prints when the file cannot be read where a block lies.
faults = ["hexdump: ", "dd: "]

[commands]
dump = "hexdump -C -v -s {addr:d} -n {len:d} {file}\r"
# BusyBox's shell on a command it does not have; the checksum command's
# first word is dd, so the missing one is named here.
unknown = "sh: crc32: not found"
# Larger reads, in base64, each confirmed by its crc32.
chunk = "dd bs=1 skip={addr:d} count={count:d} if={file} 2>/dev/null | base64\r"
chunk_sum = "dd bs=1 skip={addr:d} count={count:d} if={file} 2>/dev/null | crc32\r"

[line]
min_length = 78
after_address = " "
digits = "lower"
first_pair = 10
pairs_end = 58
text_column = 61
before_text = "  |"
after_text = "|"
text = "printable"

[checksum]
command = "dd bs=1 skip={addr:d} count={len:d} if={file} 2>/dev/null | crc32\r"
answer = "{value:08x}"
algorithm = "crc32"
)toml";

// Barebox: sizes decimal unless 0x, "xx" for a byte whose read faults (the
// display goes on). Its prompt names the board: --prompt gives it.
const char kBarebox[] = R"toml(# Barebox.
name = "barebox"
word = "md"
prompt = "barebox:/ "
ask_prompt = "\r"
address_check = "all"

[commands]
dump = "md -b 0x{addr:08x}+{len:d}\r"
unknown = "Unknown command '{command}' - try 'help'"

# 80000000: 27 05 19 56 4f 8d 12 35  00 12 a3 4c 00 00 00 00   '..VO..5...L....
[line]
min_length = 77
after_address = ":"
digits = "lower"
first_pair = 10
pairs_end = 58
text_column = 61
before_text = "   "
text = "printable"
unreadable = "xx"

[checksum]
command = "crc32 0x{addr:08x}+0x{len:x}\r"
answer = "CRC32 for /dev/mem 0x{addr:08x} ... 0x{last:08x} ==> 0x{value:08x}"
algorithm = "crc32"
)toml";

// RedBoot: numbers decimal unless 0x, upper-case digits, the text column
// between bars; cksum (where built) prints POSIX cksum's sum and length.
const char kRedBoot[] = R"toml(# RedBoot.
name = "redboot"
word = "dump"
prompt = "RedBoot> "
ask_prompt = "\r"
address_check = "all"
faults = ["** Error: data abort"]

[commands]
dump = "dump -b 0x{addr:08X} -l {len:d}\r"
unknown = "** Error: Illegal command: \"{command}\""

# 80000000: 27 05 19 56 4F 8D 12 35  00 12 A3 4C 00 00 00 00  |'..VO..5...L....|
[line]
min_length = 78
after_address = ":"
digits = "upper"
first_pair = 10
pairs_end = 58
text_column = 61
before_text = "  |"
after_text = "|"
text = "printable"

[checksum]
command = "cksum -b 0x{addr:08X} -l 0x{len:x}\r"
answer = "POSIX cksum = {value:d} {len:d} (0x{value:08x} 0x{len:08x})"
algorithm = "cksum"
)toml";

// Broadcom's CFE: the address hexadecimal, the length decimal; no checksum
// command, and an exception line where a read faults.
const char kCfe[] = R"toml(# Broadcom's CFE.
name = "cfe"
word = "d"
prompt = "CFE> "
ask_prompt = "\r"
address_check = "all"
faults = ["**Exception"]

[commands]
dump = "d -b {addr:08X} {len:d}\r"
unknown = "Invalid command: \"{command}\""

# 80000000: 27 05 19 56 4F 8D 12 35 00 12 A3 4C 00 00 00 00  '..VO..5...L....
[line]
min_length = 75
after_address = ":"
digits = "upper"
first_pair = 10
pairs_end = 57
text_column = 59
text = "printable"
)toml";

}  // namespace

const BuiltInText kBuiltInDescriptions[kBuiltInCount] = {
    {"default", kDefault}, {"uboot", kUBoot},     {"shell", kShell},
    {"barebox", kBarebox}, {"redboot", kRedBoot}, {"cfe", kCfe},
};
