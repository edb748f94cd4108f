from typing import Any

class Health:
    stream_bytes: int
    full_reads: int
    short_reads: int
    failed_reads: int
    resynchronisations: int
    bytes_skipped: int
    bytes_skipped_at_start: int
    frames_decoded: int
    frames_without_sync: int
    partial_frame_bytes: int
    blocks_delivered: int
    partial_blocks: int
    partial_block_rows: int
    empty_blocks_returned: int
    wait_for_block_s: float
    transfers_completed: int
    transfers_failed: int
    transfers_ran_out: int
    transfers_in_flight: int
    most_held_bytes: int
    transfers_refused: int
    transfer_queue_depth: int
    stalls_cleared: int
    def __init__(self, **counters: Any) -> None: ...
    def since(self, earlier: Health) -> Health: ...
    def problems(self) -> list[str]: ...
    @property
    def whole(self) -> bool: ...

def board_health(device: Any) -> Health: ...
