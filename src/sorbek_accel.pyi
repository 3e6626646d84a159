from typing import Any

__all__: list[str]

def json_dumps(value: Any) -> str:
    """Compact JSON matching `json.dumps(x, ensure_ascii=False, separators=(",", ":"))`
    for None / bool / str / int(i64) / finite float / list / tuple / str-keyed dict."""

def multipart_sections(body: bytes, delimiter: bytes) -> list[tuple[bytes, bytes]]:
    """Split a multipart body into (head, payload) pairs, one per part."""
