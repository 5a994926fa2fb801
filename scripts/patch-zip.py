"""The zip writer of the patch command: entries in the order given, each stored or deflated as pays,
ZIP64 fields only where a value does not fit the classic ones, the UTF-8 flag on names that are not
ASCII. A file's bytes are read once; large files are deflated in blocks on every core, with output
that depends only on the bytes (the same file gives the same entry however many cores ran).
"""
import collections
import concurrent.futures
import hashlib
import mmap
import os
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

# Deflate must save at least a twentieth of the bytes, judged on an entry's first SAMPLE bytes
# (deflating what does not shrink is slow, so the sample is small); game packages come compressed
# already, and deflating them costs minutes for a few percent.
SAVING_PARTS = 20
SAMPLE = 256 * 1024
LEVEL = 6
# Raw deflate, as zip holds it; a block is deflated with the 32 KiB before it as its dictionary.
WINDOW_BITS = -15
WINDOW = 32 * 1024
BLOCK = 4 << 20
# Blocks read ahead of the one being written: bounds the memory to about twice this many blocks.
BLOCKS_IN_FLIGHT = 4


def is_worth_deflating(size, compressed_size):
    return compressed_size * SAVING_PARTS <= size * (SAVING_PARTS - 1)


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


def blocks(source, size):
    """The blocks of a file expected to hold size bytes, each with whether it is the last; a file
    that turns out shorter ends early, one that is longer is cut (the caller's check of the size and
    CRC catches both)."""
    offset = 0
    while True:
        block = source.read(BLOCK)
        offset += len(block)
        last = offset >= size or not block
        yield block, last
        if last:
            return


class Output:
    """The archive file, written past the page cache where the system allows (a file written once
    gains nothing from it, and filling it costs several times the disk's own pace here), from two
    page-aligned buffers that a thread of its own writes out while the writer fills the other one.
    The archive's SHA-256 is taken as bytes are handed over; position counts every byte."""

    STAGE = 8 << 20
    ALIGN = 4096

    def __init__(self, path):
        self.sha = hashlib.sha256()
        self.position = 0
        self.flushed = 0  # the file's bytes before this offset are on their way or written
        try:
            self.direct = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_DIRECT", 0), 0o644)
        except OSError:  # a file system that does not write past its cache
            self.direct = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.plain = os.open(path, os.O_RDWR)
        self.stages = [mmap.mmap(-1, self.STAGE), mmap.mmap(-1, self.STAGE)]
        self.writing = [None, None]
        self.current = 0
        self.fill = 0
        self.thread = concurrent.futures.ThreadPoolExecutor(1)

    def write(self, data, hashed=True):
        """Writes data; hashed False for bytes that are hashed later from the file (hash_written)."""
        if hashed:
            self.sha.update(data)
        view = memoryview(data)
        while view:
            count = min(self.STAGE - self.fill, len(view))
            self.stages[self.current][self.fill:self.fill + count] = view[:count]
            self.fill += count
            self.position += count
            view = view[count:]
            if self.fill == self.STAGE:
                self._hand_over()

    def rewrite(self, offset, data):
        """Replaces bytes written unhashed, such as a header whose sizes were not known."""
        self._wait()
        written = max(0, min(len(data), self.flushed - offset))
        if written:
            os.pwrite(self.plain, data[:written], offset)
        start = offset + written - self.flushed
        self.stages[self.current][start:start + len(data) - written] = data[written:]

    def cut(self, offset):
        """Drops everything from offset on, none of it hashed yet."""
        self._wait()
        if offset < self.flushed:
            boundary = offset - offset % self.STAGE
            kept = os.pread(self.plain, offset - boundary, boundary)
            os.ftruncate(self.plain, boundary)
            self.flushed = boundary
            self.stages[self.current][:len(kept)] = kept
        self.fill = offset - self.flushed
        self.position = offset

    def hash_written(self, start):
        """Hashes, reading them back, the bytes from start on (written unhashed)."""
        self._wait()
        offset = start
        while offset < self.flushed:
            data = os.pread(self.plain, min(self.STAGE, self.flushed - offset), offset)
            self.sha.update(data)
            offset += len(data)
        self.sha.update(self.stages[self.current][offset - self.flushed:self.fill])

    def finish(self):
        """The archive's SHA-256 and size, once every byte is written. The last buffer goes out whole
        pages at a time, and the file is cut to its size."""
        self._wait()
        padded = -(-self.fill // self.ALIGN) * self.ALIGN
        if padded:
            self.stages[self.current][self.fill:padded] = bytes(padded - self.fill)
            with memoryview(self.stages[self.current]) as view:
                os.pwrite(self.direct, view[:padded], self.flushed)
        os.ftruncate(self.plain, self.position)
        self.close()
        return self.sha.hexdigest(), self.position

    def close(self):
        if self.thread is not None:
            self.thread.shutdown()
            self.thread = None
            os.close(self.direct)
            os.close(self.plain)

    def _hand_over(self):
        """Sends the full buffer to the thread and goes on with the other, once that one is out."""
        self.writing[self.current] = self.thread.submit(os.pwrite, self.direct, self.stages[self.current],
                                                        self.flushed)
        self.flushed += self.STAGE
        self.current = 1 - self.current
        self.fill = 0
        if self.writing[self.current] is not None:
            self.writing[self.current].result()
            self.writing[self.current] = None

    def _wait(self):
        for index, writing in enumerate(self.writing):
            if writing is not None:
                writing.result()
                self.writing[index] = None


class ZipWriter:
    """Writes an archive file entry by entry, hashing it as it goes; close() writes the central
    directory and returns the archive's SHA-256 and size."""

    def __init__(self, path, executor, system, progress=None):
        self.out = Output(path)
        self.executor = executor
        self.system = system
        self.progress = progress or (lambda count: None)
        self.records = []

    def folder(self, name, date_time, attributes):
        self._whole(name, date_time, attributes, STORED, 0, b"", 0)

    def data(self, name, date_time, attributes, content):
        deflated = deflate_block(content, None, True)
        method, payload = (DEFLATED, deflated) if is_worth_deflating(len(content), len(deflated)) \
            else (STORED, content)
        self._whole(name, date_time, attributes, method, zlib.crc32(content), payload, len(content))
        self.progress(len(content))

    def file(self, name, date_time, attributes, path, size, crc):
        """Packs the file, deflated when its first bytes say it pays (and, for a file of one block, the
        whole does), stored after all when the whole came out no smaller. size and crc are what the file held when it was compared; False
        when it holds something else now (the archive is then unusable)."""
        start = self.out.position
        with open(path, "rb") as source:
            first, last = next(blocks(source, size))
            sample = first[:SAMPLE]
            deflated = deflate_block(sample, None, last and len(first) == len(sample))
            promising = is_worth_deflating(len(sample), len(deflated))
            if promising and len(first) > len(sample):
                deflated = deflate_block(first, None, last)
            if last:
                method, payload = (DEFLATED, deflated) if promising and is_worth_deflating(len(first), len(deflated)) \
                    else (STORED, first)
                self._whole(name, date_time, attributes, method, crc, payload, size)
                self.progress(len(first))
                return zlib.crc32(first) == crc and len(first) == size and not source.read(1)
            if promising:
                packed_crc, packed_size, compressed_size = self._deflated(name, date_time, source, first, deflated,
                                                                          size, crc)
                if compressed_size < packed_size:
                    self.out.hash_written(start)
                    self.records.append(self._record(name, DEFLATED, date_time, crc, compressed_size, size,
                                                     attributes, start))
                    return packed_crc == crc and packed_size == size and not source.read(1)
                self.out.cut(start)
                self.progress(-packed_size)
                source.seek(0)
                first, last = next(blocks(source, size))
            packed_crc, packed_size = self._stored(name, date_time, source, first, size, crc)
            self.records.append(self._record(name, STORED, date_time, crc, size, size, attributes, start))
            return packed_crc == crc and packed_size == size and not source.read(1)

    def close(self):
        directory_offset = self.out.position
        directory = b"".join(central_header(record, self.system) for record in self.records)
        self.out.write(directory)
        self.out.write(end_records(len(self.records), directory_offset, len(directory), self.system))
        return self.out.finish()

    def abandon(self):
        """Lets go of the file, finished or not."""
        self.out.close()

    def _record(self, name, method, date_time, crc, compressed_size, size, attributes, offset):
        encoded, flags = name_field(name)
        return encoded, flags, method, date_time, crc, compressed_size, size, attributes, offset

    def _whole(self, name, date_time, attributes, method, crc, payload, size):
        record = self._record(name, method, date_time, crc, len(payload), size, attributes, self.out.position)
        self.out.write(local_header(record[0], record[1], method, date_time, crc, len(payload), size) + payload)
        self.records.append(record)

    def _stored(self, name, date_time, source, first, size, crc):
        """A stored entry: its header, with the size and CRC the file had, goes first; the blocks follow
        as they are read. Returns the CRC and size of what was read."""
        encoded, flags = name_field(name)
        self.out.write(local_header(encoded, flags, STORED, date_time, crc, size, size))
        packed_crc = zlib.crc32(first)
        packed_size = len(first)
        self.out.write(first)
        self.progress(len(first))
        if packed_size < size:
            for block, _ in blocks(source, size - packed_size):
                packed_crc = zlib.crc32(block, packed_crc)
                packed_size += len(block)
                self.out.write(block)
                self.progress(len(block))
        return packed_crc, packed_size

    def _deflated(self, name, date_time, source, first, deflated, size, crc):
        """A deflated entry of several blocks, deflated side by side: its header is written first with
        no compressed size and rewritten at the end (of the same length: ZIP64 or not follows the size),
        all of it unhashed until then. Returns the CRC and size of what was read and the compressed size."""
        encoded, flags = name_field(name)
        start = self.out.position
        self.out.write(local_header(encoded, flags, DEFLATED, date_time, crc, 0, size), hashed=False)
        self.out.write(deflated, hashed=False)
        packed_crc = zlib.crc32(first)
        packed_size = len(first)
        compressed_size = len(deflated)
        self.progress(len(first))
        pending = collections.deque()
        tail = first[-WINDOW:]
        for block, last in blocks(source, size - packed_size):
            pending.append(self.executor.submit(deflate_block, block, tail, last))
            tail = block[-WINDOW:]
            packed_crc = zlib.crc32(block, packed_crc)
            packed_size += len(block)
            while pending and (len(pending) > BLOCKS_IN_FLIGHT or last):
                written = pending.popleft().result()
                self.out.write(written, hashed=False)
                compressed_size += len(written)
            self.progress(len(block))
        # A compressed size beyond the size is not kept (the entry is stored instead), but must fit the
        # header until then.
        self.out.rewrite(start, local_header(encoded, flags, DEFLATED, date_time, crc, min(compressed_size, size),
                                             size))
        return packed_crc, packed_size, compressed_size
