# Writes the row seed corpus (fuzz/corpus/row) with dump2dcm: small worklist data sets in the
# character sets the list must read, and the faults it must survive.
# Usage: python3 fuzz/make_row_seeds.py fuzz/corpus/row
import subprocess
import tempfile
def ds(charset, name, birth, sps_desc, study_desc, req_desc=b"Roentgen Thorax", seq=True):
    L=[]
    if charset is not None:
        L.append(b"(0008,0005) CS [" + charset + b"]")
    L.append(b"(0008,0050) SH [A0001]")
    if study_desc is not None:
        L.append(b"(0008,1030) LO [" + study_desc + b"]")
    L.append(b"(0010,0010) PN [" + name + b"]")
    L.append(b"(0010,0020) LO [PID0001]")
    L.append(b"(0010,0030) DA [" + birth + b"]")
    L.append(b"(0010,0040) CS [F]")
    L.append(b"(0020,000d) UI [1.2.276.0.7230010.3.1.2.42.1]")
    L.append(b"(0032,1060) LO [" + req_desc + b"]")
    if seq is True:
        L += [b"(0040,0100) SQ (Sequence with explicit length #=1)",
              b"  (fffe,e000) na (Item with explicit length #=3)",
              b"    (0008,0060) CS [CR]",
              b"    (0040,0002) DA [20240105]",
              b"    (0040,0007) LO [" + sps_desc + b"]",
              b"  (fffe,e00d) na (ItemDelimitationItem for re-encoding)",
              b"(fffe,e0dd) na (SequenceDelimitationItem for re-encoding)"]
    elif seq == "empty":
        L += [b"(0040,0100) SQ (Sequence with explicit length #=0)",
              b"(fffe,e0dd) na (SequenceDelimitationItem for re-encoding)"]
    return b"\n".join(L) + b"\n"
l1=lambda s: s.encode("latin-1"); u8=lambda s: s.encode("utf-8")
seeds = {
 "latin1-iso-ir-100": (ds(b"ISO_IR 100", l1("Müller^Jürgen"), b"19501205", l1("Thorax p.a. äöü"), l1("Lunge")), ["+te"]),
 "utf8-iso-ir-192": (ds(b"ISO_IR 192", u8("Größe^Zoë^^Dr."), b"19991231", u8("Knie rechts €"), u8("Ärztliche Untersuchung")), ["+ti", "-F"]),
 "undeclared-latin1": (ds(None, l1("Weiß^Björn"), b"20000229", l1("Hand"), b""), ["+te"]),
 "undeclared-utf8": (ds(None, u8("Weiß^Björn"), b"20000229", u8("Fuß links"), u8("Fuß")), ["+te", "-F"]),
 "iso2022-broken-escape": (ds(b"\\ISO 2022 IR 87", b"Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$B", b"19800101", b"\x1b$(D\x1b", b"\x1b(J\x1b$B"), ["+te"]),
 "iso-ir-144-cyrillic": (ds(b"ISO_IR 144", b"\xbb\xee\xda\xd5\xdd^\xb0\xdd\xdd\xd0", b"19700101", b"\xc0\xd5\xdd\xe2\xd3\xd5\xdd", None), ["+tb"]),
 "missing-sequence": (ds(b"ISO_IR 100", b"Doe^John", b"19600615", b"", None, req_desc=b"Angio", seq=False), ["+te"]),
 "empty-sequence": (ds(b"ISO_IR 100", b"Doe^Jane", b"19600615", b"", b"", seq="empty"), ["+te", "-e"]),
 "bad-date": (ds(b"ISO_IR 192", b"Bad^Date", b"20230230", b"CT", b"CT"), ["+te"]),
 "bad-date-format": (ds(None, b"Bad^Format", b"1950.12.05", b"MR", b"MR"), ["+ti", "-F"]),
 "unknown-charset": (ds(b"ISO_IR 999", l1("Ünknown^Set"), b"19501205", b"X\xff\xfe", b"Y"), ["+te"]),
}
import os, sys
os.chdir(sys.argv[1] if len(sys.argv) > 1 else ".")
for name,(dump,opts) in seeds.items():
    with tempfile.NamedTemporaryFile(suffix=".dump") as f:
        f.write(dump)
        f.flush()
        subprocess.run(["dump2dcm", "-q", "+E"] + opts + [f.name, name + ".dcm"], check=True)
with open("latin1-iso-ir-100.dcm", "rb") as whole, open("truncated.dcm", "wb") as cut:
    cut.write(whole.read(300))
