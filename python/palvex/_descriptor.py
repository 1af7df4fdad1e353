"""The board descriptor as the package reads it: its row length, a name for
every column, and the columns the package itself needs (packet number,
filler flag).

Columns are named by the group that writes them, with the rule that
palvex-decode uses for its CSV header, so a recording's ``columns`` are the
CSV's: ``exg_0..``, ``accel_x..``, ``gyro_x..``, ``resistance_0..``,
``ppg_0..`` (raw PPG columns continue that numbering when they share
columns with PPG, else ``ppg_raw_0..``), ``package_num``, ``battery``,
``other``, ``format_code``, ``nibble_high``, ``nibble_low``, ``other_4..``,
``valid`` (column 29) and ``col_N`` for a column no group names. A column
named by two groups keeps the first name in the order filler, packet
number, battery, ExG, accelerometer, gyroscope, resistance, PPG, raw PPG,
other, valid; a name already given is not given twice. The
``"filler_channel"`` column, which the library sets to 1.0 in filler rows
and 0.0 in decoded ones, is named ``filler``. A descriptor without one gets
one more column at the end of the row for it, as palvex-decode gives it:
filler rows are told by the library's mark, never by comparing values.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Mapping, Union

__all__ = ["Descriptor", "DescriptorLike", "default_descriptor_text", "parse_descriptor", "column_names"]

MAX_ROW_LENGTH = 65536
VALID_COLUMN = 29  # the library sets it to 1.0 in every delivered row

DescriptorLike = Union[str, Mapping[str, Any], os.PathLike, None]


def default_descriptor_text() -> str:
    """The default descriptor, read from the JSON file shipped with the package."""
    return Path(__file__).with_name("default_descriptor.json").read_text(encoding="utf-8").rstrip("\n")


@dataclass(frozen=True)
class Descriptor:
    """A board descriptor, checked and with its columns named.

    Attributes
    ----------
    text : str
        The JSON text handed to the library.
    num_rows : int
        Doubles per row.
    columns : tuple of str
        A name per column, index = column.
    package_num : int
        Column of the packet number.
    filler : int
        The ``"filler_channel"`` column: the descriptor's own, or the one
        added at the end of the row when it names none.
    groups : mapping of str to tuple of int
        The columns of each channel group the families write: ``"exg"``,
        ``"accel"``, ``"gyro"``, ``"resistance"``, ``"ppg"`` and
        ``"ppg_raw"`` (empty for a group the descriptor has not).
    """

    text: str
    num_rows: int
    columns: tuple[str, ...]
    package_num: int
    filler: int
    groups: Mapping[str, tuple[int, ...]] = field(default_factory=dict)


def _is_int(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def parse_descriptor(descriptor: DescriptorLike = None) -> Descriptor:
    """Reads a descriptor and names its columns.

    Parameters
    ----------
    descriptor : str, mapping, path-like or None
        JSON text, a mapping turned into JSON, a path of a JSON file, or None
        for the default descriptor.

    Returns
    -------
    Descriptor

    Raises
    ------
    ValueError
        When the text is not a JSON object, ``num_rows`` or
        ``package_num_channel`` is missing or out of range, or a column lies
        outside the row. (The library refuses more: a descriptor that cannot
        serve a board's family is only found out when that board's rows are
        decoded.)
    """
    if descriptor is None:
        text, where = default_descriptor_text(), "the default descriptor"
    elif isinstance(descriptor, os.PathLike):
        text, where = Path(descriptor).read_text(encoding="utf-8"), f"descriptor {os.fspath(descriptor)}"
    elif isinstance(descriptor, Mapping):
        text, where = json.dumps(descriptor), "descriptor"
    elif isinstance(descriptor, str):
        text, where = descriptor, "descriptor"
    else:
        raise TypeError(f"a descriptor is JSON text, a mapping or a path, not {type(descriptor).__name__}")
    try:
        j = json.loads(text)
    except json.JSONDecodeError as e:
        raise ValueError(f"bad {where}: not JSON ({e})") from None
    if not isinstance(j, dict):
        raise ValueError(f"bad {where}: not a JSON object")

    nr = j.get("num_rows")
    if not _is_int(nr) or not 30 <= nr <= MAX_ROW_LENGTH:
        raise ValueError(f'bad {where}: "num_rows" must be a whole number from 30 to {MAX_ROW_LENGTH}, '
                         f"not {json.dumps(nr)}")

    def column(v: Any, key: str) -> int:
        if not _is_int(v):
            raise ValueError(f'bad {where}: "{key}" must hold whole numbers, not {json.dumps(v)}')
        if not 0 <= v < nr:
            raise ValueError(f'bad {where}: "{key}" column {v} is outside the {nr}-column row')
        return v

    def group(key: str) -> list[int]:
        v = j.get(key)
        if v is None:
            return []
        return [column(e, key) for e in v] if isinstance(v, list) else [column(v, key)]

    if "package_num_channel" not in j:
        raise ValueError(f'bad {where}: "package_num_channel" is missing')
    package_num = column(j["package_num_channel"], "package_num_channel")
    filler = column(j["filler_channel"], "filler_channel") if j.get("filler_channel") is not None else None
    if filler in (package_num, VALID_COLUMN):
        raise ValueError(f'bad {where}: "filler_channel" column {filler} is the '
                         f'{"valid" if filler == VALID_COLUMN else "packet number"} column')
    if filler is None and nr == MAX_ROW_LENGTH:
        raise ValueError(f'bad {where}: no room for a filler column; name one with "filler_channel"')

    names = [""] * nr
    used: set[str] = set()

    def name(c: int, n: str) -> None:
        if not names[c] and n not in used:
            names[c] = n
            used.add(n)

    def axis(g: str, i: int) -> str:
        return f"{g}_{'xyz'[i]}" if i < 3 else f"{g}_{i}"

    if filler is not None:
        name(filler, "filler")
    name(package_num, "package_num")
    if "battery_channel" in j:
        name(column(j["battery_channel"], "battery_channel"), "battery")
    for i, c in enumerate(group("exg_channels")):
        name(c, f"exg_{i}")
    for g in ("accel", "gyro"):
        for i, c in enumerate(group(f"{g}_channels")):
            name(c, axis(g, i))
    for i, c in enumerate(group("resistance_channels")):
        name(c, f"resistance_{i}")
    ppg = group("ppg_channels")
    for i, c in enumerate(ppg):
        name(c, f"ppg_{i}")
    ppg_raw = group("ppg_raw_channels")
    raw_prefix = "ppg_" if any(c in ppg for c in ppg_raw) else "ppg_raw_"
    for i, c in enumerate(ppg_raw):
        name(c, f"{raw_prefix}{i}")
    for i, c in enumerate(group("other_channels")):
        name(c, ("other", "format_code", "nibble_high", "nibble_low")[i] if i < 4 else f"other_{i}")
    name(VALID_COLUMN, "valid")
    columns = tuple(n or f"col_{c}" for c, n in enumerate(names))
    if filler is None:
        # The library marks fillers only in a column it is given: one more.
        filler, nr = nr, nr + 1
        columns += ("filler",)
        text = json.dumps({**j, "filler_channel": filler, "num_rows": nr})
    groups = {g: tuple(group(f"{g}_channels")) for g in ("exg", "accel", "gyro", "resistance", "ppg", "ppg_raw")}
    return Descriptor(text=text, num_rows=nr, columns=columns, package_num=package_num, filler=filler,
                      groups=groups)


def column_names(descriptor: DescriptorLike = None) -> list[str]:
    """Column names of a descriptor's rows (index = column), as palvex-decode's CSV header has them.

    Parameters
    ----------
    descriptor : str, mapping, path-like or None
        As for :func:`parse_descriptor`; None is the default descriptor.

    Returns
    -------
    list of str
    """
    return list(parse_descriptor(descriptor).columns)
