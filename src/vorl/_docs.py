"""The parameter sections that several docstrings share, and the decorator that
puts them in: each section is written once."""
from typing import TypeVar

# Parameter sections shared by several docstrings, put in by `document`.
SECTIONS = {
    "configuration": """sample_rate : int
        Samples per second of the signals analysed, a whole number.
    frame_length : int, optional
        Samples per frame; default 1024, or `frame_duration` in samples.
    hop_length : int, optional
        Samples from the start of one frame to the start of the next; default
        512, or `hop_duration` in samples.
    num_bands : int
        Number of gammatone filters, spaced evenly on the ERB-rate scale
        (at most 2**20).
    low_Hz : float
        Centre frequency of the lowest band, in Hz.
    high_Hz : float, optional
        Centre frequency of the highest band, in Hz, below the Nyquist
        frequency; default ``min(8000, 0.45 * sample_rate)``.
    temporal_integration : float
        Time constant, in seconds, of the leaky integration of each band's
        envelope; 0 turns it off.
    channel : int or None
        The channel to analyse; a negative value averages all channels; None
        analyses every channel separately (a leading channel axis in the result).
    log : bool
        Return log10 of the band levels (True) or the levels themselves.
    center_frequencies : sequence of float, optional
        Ascending positive centre frequencies in Hz, in place of `num_bands`,
        `low_Hz` and `high_Hz`.
    bandwidth_factor : float
        Factor on each filter's equivalent rectangular bandwidth (1.019: the
        standard gammatone).
    floor : float
        Levels below it are raised to it before log10, so digital silence reads
        log10(floor) instead of -inf (default `DEFAULT_FLOOR`, 1e-10); 0 keeps
        the extractor's values.
    dtype : {float64, float32}
        Type of the results: always computed in float64, cast once at the end.
    frame_duration, hop_duration : float, optional
        The frame and hop in seconds instead of samples, rounded to the nearest
        sample; not together with `frame_length` or `hop_length`.""",
    "signal": """signal : array_like
        1-D (samples) or 2-D (channels, samples) floating-point samples, any
        memory layout; never modified.""",
    "threads": """threads : int, optional
        Worker threads; default every core this process may use.""",
    "check_finite": """check_finite : bool
        Raise ValueError at the first sample that is NaN, infinite or larger in
        magnitude than `MAX_SAMPLE`.""",
    "chunk": """chunk : array_like
        The next samples: 1-D, or (channels, samples) with the first chunk's
        channel count; any length, 0 included.""",
    "rows": """ndarray
        Shape (frames, num_bands), or (channels, frames, num_bands) with
        ``channel=None``; frames start at 0, hop_length, 2 hop_length, ...""",
    "samples": """ndarray
        Shape (samples, num_bands), or (channels, samples, num_bands) with
        ``channel=None``.""",
}


Documented = TypeVar("Documented")


def document(thing: Documented) -> Documented:
    """Puts the shared sections into the ``<name>`` markers of a docstring (of a
    class, its methods' too)."""
    parts = [thing, *vars(thing).values()] if isinstance(thing, type) else [thing]
    for part in parts:
        part = getattr(part, "fget", part)  # a property's getter
        if callable(part) and part.__doc__ and "<" in part.__doc__:
            text = part.__doc__
            for name, section in SECTIONS.items():
                # Sections are written at 4 spaces; a method's docstring sits at 8.
                indent = text[:text.index(f"<{name}>")].rsplit("\n", 1)[-1] if f"<{name}>" in text else ""
                text = text.replace(f"<{name}>", section.replace("\n    ", "\n" + indent))
            part.__doc__ = text
    return thing
