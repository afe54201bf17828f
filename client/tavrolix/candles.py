"""Candlestick history by column."""

import importlib
from typing import TYPE_CHECKING, Any, List, Optional

if TYPE_CHECKING:
    from tavrolix_open_api import Candlesticks

__all__ = ["Candles"]

COLUMNS = ("time", "open", "high", "low", "close", "volume")


class Candles:
    """The columns of ``get_candlesticks`` as attributes: the module's own lists, not copies.

    ``time`` is each candle's opening time in the library's unit (seconds since
    1970 for the sandbox); ``last_sequence`` the library's number of the last
    trade in the newest candle; ``message`` the library's text, if any.
    """

    __slots__ = ("time", "open", "high", "low", "close", "volume", "last_sequence", "message")

    def __init__(self, data: "Candlesticks", message: Optional[str]) -> None:
        self.time: List[int] = data["time"]
        self.open: List[float] = data["open"]
        self.high: List[float] = data["high"]
        self.low: List[float] = data["low"]
        self.close: List[float] = data["close"]
        self.volume: List[int] = data["volume"]
        self.last_sequence: int = data["last_sequence"]
        self.message = message

    def __len__(self) -> int:
        return len(self.time)

    def __repr__(self) -> str:
        return "<Candles %d, last_sequence %d>" % (len(self.time), self.last_sequence)

    def to_frame(self, time_unit: Optional[str] = "s") -> Any:
        """A pandas DataFrame with one row per candle, indexed by opening time.

        ``time_unit`` is the unit of ``time`` for ``pandas.to_datetime`` (UTC);
        None keeps ``time`` as integers. Needs pandas, which the package does
        not require. Columns of different lengths (which the library may give)
        raise ``ValueError`` rather than being padded.
        """
        try:
            pd: Any = importlib.import_module("pandas")
        except ImportError:
            raise ImportError("Candles.to_frame needs pandas: pip install pandas") from None
        lengths = {name: len(getattr(self, name)) for name in COLUMNS}
        if len(set(lengths.values())) > 1:
            raise ValueError("candlestick columns differ in length: %s" % lengths)
        columns: Any = {name: getattr(self, name) for name in COLUMNS[1:]}
        if time_unit is None:
            index = pd.Index(self.time, name="time")
        else:
            index = pd.DatetimeIndex(pd.to_datetime(self.time, unit=time_unit, utc=True), name="time")
        return pd.DataFrame(columns, index=index, columns=list(COLUMNS[1:]))
