"""scripts/imagebytes-to-fits on hand-made ImageBytes bodies: the FITS bytes
written, and the bodies it refuses."""
import struct
import subprocess
import sys
import unittest
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "imagebytes-to-fits"


def body(width, height, payload, error=0, transmission=8, rank=2, start=44):
    return struct.pack("<11i", 1, error, 7, 9, start, 8, transmission, rank, width, height, 0) + payload


def run(data):
    return subprocess.run([sys.executable, str(SCRIPT)], input=data, capture_output=True)


def card(text):
    return text.ljust(80).encode()


HEADER = b"".join([
    card("SIMPLE  =                    T"),
    card("BITPIX  =                   16"),
    card("NAXIS   =                    2"),
    card("NAXIS1  =                    3"),
    card("NAXIS2  =                    2"),
    card("BZERO   =                32768"),
    card("BSCALE  =                    1"),
    card("END"),
]).ljust(2880, b" ")


class ImageBytesToFits(unittest.TestCase):
    def test_pixels_transposed_into_rows_with_bzero(self):
        # Element (x, y) at index x * height + y; FITS rows are y.
        elements = {(0, 0): 0, (1, 0): 1, (2, 0): 0x8000, (0, 1): 0xFFFF, (1, 1): 0x1234, (2, 1): 0x7FFF}
        for transmission, size, values in ((8, "H", elements), (6, "B", {k: v & 0xFF for k, v in elements.items()})):
            with self.subTest(transmission=transmission):
                payload = struct.pack(f"<6{size}", *(values[(x, y)] for x in range(3) for y in range(2)))
                result = run(body(3, 2, payload, transmission=transmission))
                self.assertEqual(result.returncode, 0, result.stderr)
                rows = struct.pack(">6h", *(values[(x, y)] - 32768 for y in range(2) for x in range(3)))
                self.assertEqual(result.stdout, HEADER + rows + bytes(2880 - len(rows)))

    def test_refusals(self):
        cases = [
            (b"\x01\x00", "shorter than the ImageBytes header"),
            (body(3, 2, b"Not connected", error=1031), "error 1031: Not connected"),
            (body(3, 2, bytes(11)), "11 bytes of pixels, 12 expected"),
            (body(3, 2, bytes(12), transmission=2), "transmission element type 2"),
            (body(3, 2, bytes(12), rank=3), "rank 3"),
            (body(0, 2, b""), "0x2"),
        ]
        for data, reason in cases:
            with self.subTest(reason=reason):
                result = run(data)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertIn(reason, result.stderr.decode())


if __name__ == "__main__":
    unittest.main()
