"""The zip writer of the patch command: entries in the order given, each stored or deflated as pays,
ZIP64 fields only where a value does not fit the classic ones, the UTF-8 flag on names that are not
ASCII. A file's bytes are read once; large files are deflated in blocks on every core, with output
that depends only on the bytes (the same file gives the same entry however many cores ran).
"""
import collections
import hashlib
import struct
import zlib

STORED = 0
DEFLATED = 8
# A classic field holding its all-ones value says "look in the ZIP64 record": such a value, and any
# larger one, goes there.
MARK16 = 0xFFFF
MARK32 = 0xFFFFFFFF
VERSION_DEFAULT = 20
VERSION_ZIP64 = 45
FLAG_UTF8 = 0x800
ZIP64_EXTRA_ID = 0x0001
LOCAL_SIGNATURE = 0x04034B50
CENTRAL_SIGNATURE = 0x02014B50
END_SIGNATURE = 0x06054B50
ZIP64_END_SIGNATURE = 0x06064B50
ZIP64_LOCATOR_SIGNATURE = 0x07064B50
LOCAL_HEADER = struct.Struct("<IHHHHHIIIHH")
CENTRAL_HEADER = struct.Struct("<IHHHHHHIIIHHHHHII")
END_RECORD = struct.Struct("<IHHHHIIH")
ZIP64_END_RECORD = struct.Struct("<IQHHIIQQQQ")
ZIP64_LOCATOR = struct.Struct("<IIQI")

# Deflate must save at least this share of the bytes, judged on an entry's first block; game
# packages come compressed already, and deflating them costs minutes for a few percent.
MIN_SAVING = 0.05
LEVEL = 6
# Raw deflate, as zip holds it; a block is deflated with the 32 KiB before it as its dictionary.
WINDOW_BITS = -15
WINDOW = 32 * 1024
BLOCK = 4 << 20
# Blocks read ahead of the one being written: bounds the memory to about twice this many blocks.
BLOCKS_IN_FLIGHT = 4


def is_worth_deflating(size, compressed_size):
    return compressed_size <= size * (1 - MIN_SAVING)


def name_field(name):
    """The name's bytes and the flag that says how to read them."""
    try:
        return name.encode("ascii"), 0
    except UnicodeEncodeError:
        return name.encode("utf-8"), FLAG_UTF8


def dos_date_time(date_time):
    year, month, day, hour, minute, second = date_time
    return (hour << 11) | (minute << 5) | (second // 2), ((year - 1980) << 9) | (month << 5) | day


def local_header(name, flags, method, date_time, crc, compressed_size, size):
    """A local header. Its ZIP64 record, when the size needs one, holds both sizes, as the format
    asks; the compressed size never exceeds the size (an entry deflate would enlarge is stored)."""
    zip64 = size >= MARK32
    extra = struct.pack("<HHQQ", ZIP64_EXTRA_ID, 16, size, compressed_size) if zip64 else b""
    dos_time, dos_date = dos_date_time(date_time)
    return LOCAL_HEADER.pack(LOCAL_SIGNATURE, VERSION_ZIP64 if zip64 else VERSION_DEFAULT, flags, method,
                             dos_time, dos_date, crc, MARK32 if zip64 else compressed_size,
                             MARK32 if zip64 else size, len(name), len(extra)) + name + extra


def central_header(record, system):
    """A central directory header, with a ZIP64 record holding just the values that need it; system
    is the one whose attributes the entry carries."""
    name, flags, method, date_time, crc, compressed_size, size, attributes, offset = record
    large = [value for value in (size, compressed_size, offset) if value >= MARK32]
    extra = struct.pack("<HH%dQ" % len(large), ZIP64_EXTRA_ID, 8 * len(large), *large) if large else b""
    version = VERSION_ZIP64 if large else VERSION_DEFAULT
    dos_time, dos_date = dos_date_time(date_time)
    return CENTRAL_HEADER.pack(CENTRAL_SIGNATURE, (system << 8) | version, version, flags, method,
                               dos_time, dos_date, crc, min(compressed_size, MARK32), min(size, MARK32),
                               len(name), len(extra), 0, 0, 0, attributes, min(offset, MARK32)) + name + extra


def end_records(count, directory_offset, directory_size, system):
    """The end of the archive: the classic record, after the ZIP64 one and its locator when a value
    does not fit it."""
    records = b""
    if count >= MARK16 or directory_offset >= MARK32 or directory_size >= MARK32:
        zip64_offset = directory_offset + directory_size
        records = ZIP64_END_RECORD.pack(ZIP64_END_SIGNATURE, ZIP64_END_RECORD.size - 12,
                                        (system << 8) | VERSION_ZIP64, VERSION_ZIP64, 0, 0, count, count,
                                        directory_size, directory_offset)
        records += ZIP64_LOCATOR.pack(ZIP64_LOCATOR_SIGNATURE, 0, zip64_offset, 1)
    return records + END_RECORD.pack(END_SIGNATURE, 0, 0, min(count, MARK16), min(count, MARK16),
                                     min(directory_size, MARK32), min(directory_offset, MARK32), 0)


def deflate_block(block, dictionary, last):
    """One block of a raw deflate stream: ends byte-aligned (a sync flush) so that the next block,
    deflated on its own with this one's tail as dictionary, follows it; the last one ends the stream."""
    compressor = zlib.compressobj(LEVEL, zlib.DEFLATED, WINDOW_BITS, zdict=dictionary) if dictionary \
        else zlib.compressobj(LEVEL, zlib.DEFLATED, WINDOW_BITS)
    return compressor.compress(block) + compressor.flush(zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH)


class ZipWriter:
    """Writes entries to a seekable binary stream; close() writes the central directory."""

    def __init__(self, stream, executor, system, progress=None):
        self.stream = stream
        self.system = system
        self.executor = executor
        self.progress = progress or (lambda count: None)
        self.records = []

    def folder(self, name, date_time, attributes):
        self._write_whole(name, date_time, attributes, STORED, 0, b"", 0)

    def data(self, name, date_time, attributes, content):
        deflated = deflate_block(content, None, True)
        if is_worth_deflating(len(content), len(deflated)):
            self._write_whole(name, date_time, attributes, DEFLATED, zlib.crc32(content), deflated, len(content))
        else:
            self._write_whole(name, date_time, attributes, STORED, zlib.crc32(content), content, len(content))

    def file(self, name, date_time, attributes, path, size):
        """Packs the file, deflated when its first block says it pays, and stored after all when the
        whole came out no smaller. Returns the SHA-256 of the bytes packed, for the caller to check
        that the file is still what it compared; size is what it expects the file to hold."""
        start = self.stream.tell()
        sha, crc, packed_size, compressed_size, method = self._stream_file(name, date_time, path, size, None)
        if method == DEFLATED and compressed_size >= packed_size:
            self.stream.seek(start)
            self.stream.truncate()
            sha, crc, packed_size, compressed_size, method = self._stream_file(name, date_time, path, size,
                                                                               STORED)
        encoded, flags = name_field(name)
        self.records.append((encoded, flags, method, date_time, crc, compressed_size, packed_size, attributes,
                             start))
        return sha.hexdigest()

    def close(self):
        directory_offset = self.stream.tell()
        for record in self.records:
            self.stream.write(central_header(record, self.system))
        directory_size = self.stream.tell() - directory_offset
        self.stream.write(end_records(len(self.records), directory_offset, directory_size, self.system))

    def _write_whole(self, name, date_time, attributes, method, crc, payload, size):
        encoded, flags = name_field(name)
        offset = self.stream.tell()
        self.stream.write(local_header(encoded, flags, method, date_time, crc, len(payload), size))
        self.stream.write(payload)
        self.records.append((encoded, flags, method, date_time, crc, len(payload), size, attributes, offset))

    def _stream_file(self, name, date_time, path, size, method):
        """Writes one entry from the file; method None decides by the first block. The header is
        written first with the expected size and rewritten at the end with the real values (of the
        same length: ZIP64 or not follows the size, which must not change)."""
        encoded, flags = name_field(name)
        start = self.stream.tell()
        header = local_header(encoded, flags, STORED, date_time, 0, size, size)
        self.stream.write(header)
        sha = hashlib.sha256()
        crc = 0
        packed_size = 0
        compressed_size = 0
        pending = collections.deque()
        previous_tail = None
        with open(path, "rb") as source:
            block = source.read(BLOCK)
            while True:
                following = source.read(BLOCK) if block else b""
                last = not following
                sha.update(block)
                crc = zlib.crc32(block, crc)
                packed_size += len(block)
                if method is None:
                    first = deflate_block(block, None, last)
                    method = DEFLATED if is_worth_deflating(len(block), len(first)) else STORED
                    pending.append(first if method == DEFLATED else block)
                elif method == DEFLATED:
                    pending.append(self.executor.submit(deflate_block, block, previous_tail, last))
                else:
                    pending.append(block)
                previous_tail = block[-WINDOW:]
                while pending and (len(pending) > BLOCKS_IN_FLIGHT or last):
                    written = pending.popleft()
                    written = written if isinstance(written, bytes) else written.result()
                    self.stream.write(written)
                    compressed_size += len(written)
                self.progress(len(block))
                if last:
                    break
                block = following
        end = self.stream.tell()
        if packed_size != size:
            # The file changed since it was compared; the caller finds its SHA-256 differs and drops
            # the archive, so the header need not be right.
            return sha, crc, packed_size, compressed_size, method
        self.stream.seek(start)
        self.stream.write(local_header(encoded, flags, method, date_time, crc, compressed_size, size))
        self.stream.seek(end)
        return sha, crc, packed_size, compressed_size, method
