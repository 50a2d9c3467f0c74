#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: for each harness a few inputs a well-behaved device, driver or store
would give, in the record format of tests/fuzz/FuzzAnswers.h ([key][mode][length, 2 bytes LE][bytes]).

    make_seeds.py OUTPUT-DIR        writes OUTPUT-DIR/<harness>/<seed>
"""
import os
import struct
import sys
import uuid


def rec(key, data, mode=0):
    return struct.pack("<BBH", key, mode, len(data)) + data


def guid(text):
    return uuid.UUID(text).bytes_le


def u32(*values):
    return struct.pack("<%dI" % len(values), *values)


def multiple_item(elements, count=None):
    body = b"".join(elements)
    return u32(8 + len(body), len(elements) if count is None else count) + body


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


# ---- KS (tests/fuzz/FuzzKsDevice.h keys) -------------------------------------------------------------
PIN_CINSTANCES, PIN_CTYPES, PIN_DATAFLOW, PIN_DATARANGES = 0, 1, 2, 3
PIN_INTERFACES, PIN_MEDIUMS, PIN_COMMUNICATION, PIN_GLOBALCINSTANCES = 5, 6, 7, 8
PIN_CATEGORY, PIN_NAME, NODES = 11, 12, 14
RT_BUFFER, RT_NOTIFY_BUFFER, REGISTER, POSITION_REGISTER, POSITION = 17, 18, 19, 21, 22
KS_SCRIPT = 30

INTERFACE_STANDARD = guid("1A8766A0-62CE-11CF-A5D6-28DB04C10000")
MEDIUM_STANDARD = guid("4747B320-62CE-11CF-A5D6-28DB04C10000")
TYPE_AUDIO = guid("73647561-0000-0010-8000-00AA00389B71")
SUBTYPE_PCM = guid("00000001-0000-0010-8000-00AA00389B71")
SPECIFIER_WFX = guid("05589F81-C356-11CE-BF01-00AA0055595A")
NODE_DAC = guid("507AE360-C554-11D0-8A2B-00A0C9255AC1")


def identifier(set_guid, ident):
    return set_guid + u32(ident, 0)


def audio_range(channels, min_bits, max_bits, min_rate=44100, max_rate=48000):
    head = u32(88, 0, 0, 0) + TYPE_AUDIO + SUBTYPE_PCM + SPECIFIER_WFX
    return head + u32(channels, min_bits, max_bits, min_rate, max_rate, 0)  # 88 bytes: 8-byte aligned


def ks_filter(flow, communication=1, looped=False, ranges=None, script=b"\0\x00\x10"):
    interfaces = [identifier(INTERFACE_STANDARD, 0)]
    if looped:
        interfaces.insert(0, identifier(INTERFACE_STANDARD, 1))
    ranges = ranges or [audio_range(16, 16, 32)]
    return b"".join([
        rec(PIN_CTYPES, u32(1)),
        rec(PIN_COMMUNICATION, u32(communication)),
        rec(PIN_DATAFLOW, u32(flow)),
        rec(PIN_CINSTANCES, u32(1, 0)),
        rec(PIN_GLOBALCINSTANCES, u32(1, 0)),
        rec(PIN_CATEGORY, NODE_DAC),
        rec(PIN_INTERFACES, multiple_item(interfaces)),
        rec(PIN_MEDIUMS, multiple_item([identifier(MEDIUM_STANDARD, 0)])),
        rec(PIN_DATARANGES, multiple_item(ranges)),
        rec(PIN_NAME, utf16z("Speakers")),
        rec(NODES, multiple_item([NODE_DAC, NODE_DAC])),
        rec(RT_BUFFER, u32(4096)),
        rec(RT_NOTIFY_BUFFER, u32(4096)),
        rec(REGISTER, b""),
        rec(POSITION_REGISTER, u32(4)),
        rec(POSITION, struct.pack("<QQ", 100, 200)),
        rec(KS_SCRIPT, script),
    ])


def ks_seeds():
    render_script = b"\0\x00\x10" + bytes([2, 16, 1, 10, 24, 1, 10, 32, 1])
    capture_script = b"\1\x00\x10" + bytes([12, 24, 1, 2, 16, 0])
    return {
        "render_standard": ks_filter(1, script=render_script),
        "render_looped": ks_filter(1, looped=True, script=render_script),
        "capture_standard": ks_filter(2, script=capture_script),
        "capture_looped_two_ranges": ks_filter(2, looped=True, script=capture_script,
                                               ranges=[audio_range(2, 16, 16), audio_range(12, 24, 32)]),
        "plain_filter": ks_filter(1, communication=3, script=b"\2"),
    }


# ---- shared blocks and settings (tests/fuzz/fuzz_shared_blocks.cpp keys) ---------------------------
REG_SZ, REG_BINARY, REG_DWORD, REG_QWORD = 1, 3, 4, 11


def block(state=0, settings=1, heartbeat=0, description=b"", firmware=b"", version=b"App Version: 1.0.3.0"):
    def text(t):
        return (t + b"\0" * 64)[:64]
    return u32(state, settings, heartbeat) + text(description) + text(firmware) + text(version)


def shared_block_seeds():
    connected = block(1, 1, 5, b"Quillon Alto (QA26000172)", b"Firmware Version: 1.23")
    return {
        "defaults": rec(43, block(), 10),
        "settings_dwords": rec(40, u32(1), REG_DWORD) + rec(41, u32(1), REG_DWORD) + rec(42, u32(6), REG_DWORD),
        "settings_wrong_types": rec(40, b"1\0", REG_SZ) + rec(41, struct.pack("<Q", 1), REG_QWORD)
        + rec(42, b"\x07", REG_BINARY),
        "tray_sees_a_console": rec(43, block(), 5) + rec(43, connected, 20) + rec(45, b"") + rec(43, block(), 20),
        "commands": rec(44, block(0, 3, 1), 5) + rec(44, block(0, 0, 2), 5) + rec(44, block(0, 2, 3), 30),
        "unterminated_texts": rec(43, u32(1, 1, 9) + b"A" * 192, 30) + rec(45, b""),
        # A console named as a menu command: its grayed line comes first, and quitting must still work.
        "console_named_quit": rec(43, block(1, 1, 9, b"Quit"), 30),
    }


# ---- HID link (tests/fuzz/fuzz_hid_link.cpp keys) ----------------------------------------------------
DEVPROP_TYPE_GUID = 0x0D
HID_CONTAINER = guid("5E1A7C00-1234-4321-0102-030405060708")


def hid_identity(serial="QA26000172", version=0x0123, in_len=64, out_len=64):
    return struct.pack("<5H", 0x7A3E, 0x0072, version, in_len, out_len) + serial.encode("utf-16-le")


def mask_report(mask, length=64):
    return (bytes([2, 0x41]) + struct.pack("<H", mask)).ljust(length, b"\0")


def hid_seeds():
    return {
        "console": rec(50, hid_identity()) + rec(52, mask_report(0x0F80)) + rec(54, b"\3"),
        "late_and_changing_masks": rec(50, hid_identity()) + rec(52, b"\x04" + mask_report(0x0080), 2)
        + rec(52, mask_report(0xF000)) + rec(52, mask_report(0)) + rec(54, b"\4"),
        "no_answer": rec(50, hid_identity()) + rec(51, b"", 1) + rec(52, b"", 1) + rec(54, b"\2"),
        "long_serial_short_reports": rec(50, hid_identity("9" * 200, 0xFFFF, 300, 2)) + rec(52, b"\2\x41"),
        "container_property": rec(53, HID_CONTAINER, DEVPROP_TYPE_GUID) + rec(50, hid_identity())
        + rec(52, mask_report(0x0F80)),
        "no_identity": rec(50, b"", 1),
        "console_collection": rec(50, hid_identity(out_len=65), 2) + rec(52, mask_report(0x0080)) + rec(54, b"\2"),
        "base_container_only": rec(53, b"", 0) + rec(55, HID_CONTAINER, DEVPROP_TYPE_GUID)
        + rec(50, hid_identity(), 2) + rec(52, mask_report(0x0F80)),
    }


# ---- device tree and endpoint store (tests/fuzz/fuzz_device_tree.cpp keys) -------------------------
DEVPROP_TYPE_STRING_LIST = 0x92  # as fuzz::PropertyType reads a mode: 0x12 with the list bit


def multi_sz(*strings):
    return b"".join(utf16z(t) for t in strings) + b"\0\0"


def endpoint_key(name, value, render=False, jack=False, reg_type=1):
    units = name.encode("utf-16-le")
    mode = (1 if render else 0) | (2 if jack else 0) | (reg_type << 2)
    return rec(62, bytes([len(name)]) + units + value, mode)


def device_tree_seeds():
    child = "SWD\\MMDEVAPI\\{0.0.1.00000000}.{AAAA0000-0000-0000-0000-000000000001}"
    store = (endpoint_key("{AAAA0000-0000-0000-0000-000000000001}", utf16z(child))
             + endpoint_key("{AAAA0000-0000-0000-0000-000000000001}", utf16z("Combo1"), jack=True))
    ks = ks_filter(1)
    driver_node = (rec(60, multi_sz("Root\\Quillon_VirtualAudio"), DEVPROP_TYPE_STRING_LIST)
                   + rec(61, multi_sz(child), DEVPROP_TYPE_STRING_LIST) + store)
    ks_node = (rec(64, multi_sz("SWD\\MMDEVAPI\\ONE", "SWD\\MMDEVAPI\\TWO"), DEVPROP_TYPE_STRING_LIST)
               + rec(65, b"Quillon Alto\0", 1) + ks)
    logged = rec(66, b"", 5)  # the KS log at level 5
    return {
        "driver_node": driver_node,
        "driver_node_logged": driver_node + logged,
        "unterminated_relations": rec(61, "SWD\\X".encode("utf-16-le") * 40, DEVPROP_TYPE_STRING_LIST) + store,
        "odd_lengths": rec(61, b"S\0W\0D", DEVPROP_TYPE_STRING_LIST) + endpoint_key("x", b"\x41", reg_type=3),
        "ks_node": ks_node,
        "ks_node_logged": ks_node + logged,
        "friendly_name_wrong_type": rec(65, u32(7), 4) + ks + logged,
    }


# ---- driver channel (tests/fuzz/fuzz_driver_channel.cpp keys) ---------------------------------------
def driver_seeds():
    opens = rec(0x01, u32(96 * 2 * 2, 0)) + rec(0x11, u32(96 * 2 * 2, 192))
    return {
        "well_behaved": rec(0x21, u32(0)) + opens + rec(0x30, bytes([1, 0xFF, 0xFF])),
        "positions_out_of_range": rec(0x21, u32(0xFFFFFFFF)) + rec(0x01, u32(96 * 4, 0x7FFFFFFF))
        + rec(0x11, u32(0, 0xFFFFFFFF)) + rec(0x30, bytes([3, 0xFF, 0xFF])),
        "short_counts_and_refusals": rec(0x21, b"\x10", 1) + rec(0x01, b"\x08", 1) + rec(0x11, b"", 3)
        + rec(0x02, b"", 4),
        "records_left_as_sent_and_late": rec(0x21, b"", 5) + rec(0x01, b"", 2) + rec(0x11, u32(384, 1), 5),
    }


# ---- endpoint store (tests/fuzz/fuzz_endpoint_store.cpp keys) --------------------------------------
SHOW, HIDE, RENAME, REFRESH, FIND_RENDER, FIND_CAPTURE, RENAME_IN_STORE, FIND_STREAM = range(8)
V_DESC, V_HARDWARE, V_MATCH, V_INSTANCE, V_JACK, V_GUID, V_STATE = range(7)
REG_MULTI_SZ = 7
DEVPROP_TYPE_STRING = 0x12


def op(operation, index=0):
    return bytes([(operation << 4) | index])


def store_value(which, data, reg_type=REG_SZ):
    return bytes([which, reg_type]) + struct.pack("<H", len(data)) + data


def store_endpoint(name, values=b"", render=False, child=False, instance=False, stream=None):
    mode = (1 if render else 0) | (2 if child else 0) | (4 if instance else 0)
    if stream is not None:
        mode |= 8 | (stream << 4)
    units = name.encode("utf-16-le", "surrogatepass")
    return rec(70, bytes([len(units) // 2]) + units + values, mode)


def topology_endpoint(guid_text, container, prop_type=DEVPROP_TYPE_GUID, render=False, listed=True, gone=False):
    mode = (1 if render else 0) | (2 if listed else 0) | (4 if gone else 0)
    return rec(71, guid(guid_text) + bytes([prop_type]) + container, mode)


def store_script(*ops, model=0):
    return rec(73, b"".join(ops), model)


def endpoint_store_seeds():
    extra = "{BBBB0000-0000-0000-0000-000000000003}"
    console = guid("5E1A7C00-1234-4321-0102-030405060708")
    return {
        "driver_endpoints_named_and_shown": store_endpoint(extra, child=True, instance=True, stream=3)
        + store_script(op(REFRESH), op(SHOW, 3), op(RENAME, 3), op(SHOW, 12), op(HIDE, 3), op(RENAME_IN_STORE, 3),
                       op(FIND_STREAM, 0)),
        "console_topology": topology_endpoint("{CCCC0000-0000-0000-0000-000000000001}", console, render=True)
        + topology_endpoint("{CCCC0000-0000-0000-0000-000000000002}", console)
        + rec(72, "USB\\VID_7A3E&PID_0072\\OTHER".encode("utf-16-le"))
        + store_script(op(FIND_RENDER), op(FIND_CAPTURE)),
        "wrong_types_and_lengths": store_endpoint(extra, store_value(V_DESC, b"\x01\x02\x03", REG_BINARY)
                                                  + store_value(V_GUID, u32(7), REG_DWORD)
                                                  + store_value(V_JACK, multi_sz("a", "b"), REG_MULTI_SZ)
                                                  + store_value(V_INSTANCE, b"S\0W\0D", REG_SZ)
                                                  + store_value(V_STATE, b"\x01", REG_DWORD),
                                                  child=True, stream=5)
        + topology_endpoint("{CCCC0000-0000-0000-0000-000000000003}", utf16z("not a guid"), DEVPROP_TYPE_STRING)
        + topology_endpoint("{CCCC0000-0000-0000-0000-000000000004}", console[:7], gone=False, render=True)
        + store_script(op(SHOW, 5), op(RENAME, 5), op(FIND_RENDER), op(FIND_CAPTURE), op(HIDE, 5)),
        "long_names_and_values": store_endpoint("{" + "D" * 250 + "}", store_value(V_DESC, b"N\0" * 9000)
                                                + store_value(V_MATCH, b"c\0" * 300)
                                                + store_value(V_INSTANCE, b"I\0" * 200), child=True, stream=1)
        + store_endpoint("\u00e9\u4e2d\ud800x", store_value(V_GUID, "\u00e9\u4e2d".encode("utf-16-le", "surrogatepass")),
                         render=True, child=True, instance=True, stream=13)
        + rec(72, "x".encode("utf-16-le") * 600)
        + store_script(op(REFRESH), op(RENAME, 1), op(SHOW, 13), op(RENAME_IN_STORE, 1), op(FIND_STREAM, 1),
                       op(FIND_RENDER), model=3),
        "failing_calls": topology_endpoint("{CCCC0000-0000-0000-0000-000000000005}", console, render=True)
        + store_endpoint(extra, child=True, instance=True, stream=2)
        + rec(74, bytes([8, 1, 6, 2, 13, 3, 11, 1, 9, 1, 18, 4]))
        + store_script(op(SHOW, 2), op(RENAME, 2), op(FIND_RENDER), op(REFRESH), op(HIDE, 2)),
    }


# ---- stream packets (tests/fuzz/fuzz_stream_packets.cpp keys, FuzzKsDevice.h packet mode) ----------
STATE, PACKET, READ_PACKET, WRITE_PACKET, TICK, STREAM_SCRIPT = 16, 27, 28, 29, 31, 32
OPTIONS_TIMEVALID, OPTIONS_ENDOFSTREAM, OPTIONS_LOOPEDDATA = 0x10, 0x200, 0x80000000


def packet(mode=0, delay=2, data_used=None, frame_extent=None, size=None, options=None, time=None,
           numerator=None, denominator=None, duration=None):
    fields = [(data_used, "<I"), (frame_extent, "<I"), (size, "<I"), (options, "<I"), (time, "<q"),
              (numerator, "<I"), (denominator, "<I"), (duration, "<q")]
    mask = 0
    body = b""
    for bit, (value, form) in enumerate(fields):
        if value is not None:
            mask |= 1 << bit
        body += struct.pack(form, value or 0)
    return rec(PACKET, bytes([delay, mask]) + body, mode)


def tick(mode=0, delay=2, register=0, offset=0, data=b""):
    return rec(TICK, bytes([delay]) + u32(register, offset) + data, mode)


def stream_script(capture=False, restart=False, no_callback=False, channels=2, bits=32, valid=24, kind=1,
                  samples=192, time_byte=80):
    flags = (1 if capture else 0) | (2 if restart else 0) | (4 if no_callback else 0)
    return rec(STREAM_SCRIPT, bytes([flags, channels, bits, valid, kind]) + struct.pack("<H", samples)
               + bytes([time_byte]))


def stream_packet_seeds():
    running = rec(STATE, b"")
    return {
        "render_standard": ks_filter(1) + running + stream_script(),
        "capture_standard_bent_headers": ks_filter(2) + running + stream_script(capture=True)
        + packet() * 36 + packet(data_used=0xFFFFFFFF) + packet(frame_extent=0, data_used=7)
        + packet(size=0, options=OPTIONS_ENDOFSTREAM, time=-1, numerator=0, denominator=0)
        + packet(options=OPTIONS_LOOPEDDATA | OPTIONS_TIMEVALID, time=1 << 62, numerator=1, denominator=3)
        + packet(mode=2) + packet(mode=1, delay=5) + packet(mode=3, delay=1)
        + packet(data_used=3, frame_extent=0xFFFFFFF0, duration=-(1 << 63)) + packet(mode=7) + packet(),
        "render_standard_immediate_and_restart": ks_filter(1) + running
        + stream_script(restart=True, channels=10, bits=16, valid=16, kind=0, samples=960, time_byte=60)
        + packet(mode=7) + packet(mode=5) + packet(mode=4, delay=9) + packet(mode=7, data_used=1 << 31)
        + packet(mode=6) + packet(),
        "capture_looped": ks_filter(2, looped=True) + running + stream_script(capture=True, samples=96)
        + tick() + tick(mode=2, register=64, offset=8, data=b"\xff" * 64) + tick(mode=1, delay=7)
        + tick(mode=3, offset=0xFFFFFFFF, data=b"\x01" * 300) + tick()
        + rec(READ_PACKET, u32(1, 0, 0, 0, 0)) + rec(POSITION, struct.pack("<QQ", 1 << 63, 5)),
        "render_looped_without_write_packets": ks_filter(1, looped=True) + running
        + stream_script(samples=4, time_byte=30, kind=3) + rec(WRITE_PACKET, b"", 5) + tick(delay=1)
        + rec(POSITION, struct.pack("<QQ", 4095, 4096)),
        "capture_wide_samples": ks_filter(2, ranges=[audio_range(2, 8, 64)]) + running
        + stream_script(capture=True, bits=64, valid=64),
    }


HARNESSES = {
    "fuzz_driver_channel": driver_seeds,
    "fuzz_device_tree": device_tree_seeds,
    "fuzz_endpoint_store": endpoint_store_seeds,
    "fuzz_hid_link": hid_seeds,
    "fuzz_ks_filter": ks_seeds,
    "fuzz_shared_blocks": shared_block_seeds,
    "fuzz_stream_packets": stream_packet_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for harness, make in HARNESSES.items():
        folder = os.path.join(sys.argv[1], harness)
        os.makedirs(folder, exist_ok=True)
        for name, data in make().items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
