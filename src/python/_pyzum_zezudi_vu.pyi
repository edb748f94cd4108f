"""
        _pyzum_zezudi_vu
        --------
    """

import datetime
import typing

import numpy
import numpy.typing

def list_pcb_roq() -> list[str]: ...

class PCB_ROQ:
    """
        PCB_ROQ class
        --------
        A class to handle the PCB_ROQ device.
        Attributes
        ----------
        serial_number: str
            Serial number of the device.
        """

    def __init__(
        self,
        serial_number: str | bytes,
        samples_count: typing.SupportsInt | typing.SupportsIndex = 4096,
        latency: typing.SupportsInt | typing.SupportsIndex = 255,
    ) -> None: ...
    @property
    def samples(self) -> numpy.typing.NDArray[numpy.int16] | None: ...
    def _get_raw_data(self, arg0: typing.SupportsInt | typing.SupportsIndex, /) -> numpy.typing.NDArray[numpy.uint8]: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    @property
    def timeout(self) -> datetime.timedelta | None:
        """
                Timeout for the device operations in nanoseconds.
                """
    @timeout.setter
    def timeout(self, value: datetime.timedelta | float, /) -> None: ...
    def serial_number(self) -> str: ...
    def __repr__(self) -> str: ...
    def opened(self) -> bool: ...
    def flush(self) -> None: ...
