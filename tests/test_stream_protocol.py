"""Every stream follows one protocol: a push interrupted (Ctrl-C) or refused to a
second thread leaves the stream as it was, so pushing the same chunk again, and
on to the end, gives one call's bits; one push runs at a time, the first included."""
import os
import signal
import threading

import numpy as np
import pytest

import vorl
from vorl import _engine

RATE = 16000
BANDS = dict(low_Hz=100.0, high_Hz=6000.0)


class Kind:
    """How to make a stream of one kind, feed it and compute its one-call result."""

    def __init__(self, name, channel):
        self.name, self.channel = name, channel
        signal_ = np.random.default_rng(5).standard_normal((2, 240_000))
        if name == "framed":
            self.config = vorl.Gammatone(RATE, frame_length=400, hop_length=160,
                                         channel=channel, num_bands=64, **BANDS)
        else:  # a row per sample: fewer bands keep the results small
            bands = 64 if name in ("synthesis", "resynthesis") else 32
            self.config = vorl.Cochleagram(RATE, channel=channel, num_bands=bands, **BANDS)
        self.input = signal_
        if name == "synthesis":
            self.synth = self.config.synthesis()
            self.input = self.config.analytic(signal_)

    def stream(self, threads=2):
        if self.name == "framed":
            return self.config.stream(threads=threads)
        if self.name == "synthesis":
            return self.synth.stream(threads=threads)
        if self.name == "resynthesis":
            return _Native(self.config, threads)
        return self.config.stream(self.name, threads=threads)

    def chunks(self, ends):
        axis = -2 if self.name == "synthesis" else -1
        return np.split(self.input, ends, axis=axis)

    def joined(self, parts):
        """Pushes' results joined along time: samples of a signal, or rows."""
        signal_out = self.name in ("synthesis", "resynthesis")
        return np.concatenate(parts, axis=-1 if signal_out else -2)

    def one_call(self):
        return self.joined([self.stream(threads=1).push(self.input)])


class _Native:
    """The analysis-synthesis engine of `vorl.resynthesize`, as a stream."""

    def __init__(self, config, threads):
        design = config.synthesis()._native_design()
        self._native = _engine.Resynthesis(config._bank(), config.channel, *design, threads)

    def push(self, chunk):
        return self._native.push(np.ascontiguousarray(chunk), None)


KINDS = ["framed", "rows", "envelopes", "band_signals", "analytic", "synthesis", "resynthesis"]


def seen(stream):
    return getattr(stream, "samples_seen", None)


@pytest.mark.parametrize("channel", [0, None], ids=["mono", "every-channel"])
@pytest.mark.parametrize("name", KINDS)
def test_an_interrupted_push_pushed_again_gives_one_calls_bits(name, channel):
    kind = Kind(name, channel)
    expected = kind.one_call()
    chunks = kind.chunks([777, 200_000])
    interrupted = 0
    for how, delay in [("SIGINT", 0.001), ("SIGALRM", 0.0005), ("SIGINT", 0.002)]:
        stream, parts = kind.stream(), []
        parts.append(stream.push(chunks[0]))
        armed = threading.Event()

        def handler(signum, frame):
            if armed.is_set():
                armed.clear()
                raise KeyboardInterrupt

        signum = signal.SIGINT if how == "SIGINT" else signal.SIGALRM
        previous = signal.signal(signum, handler)
        try:
            before = seen(stream)
            timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
            try:
                armed.set()
                if how == "SIGINT":
                    timer.start()
                else:
                    signal.setitimer(signal.ITIMER_REAL, delay)
                parts.append(stream.push(chunks[1]))
                armed.clear()
            except KeyboardInterrupt:
                if len(parts) == 2:
                    pass  # raised once the push had returned: nothing to do again
                elif before is not None and seen(stream) != before:
                    continue  # raised after the commit: the result is lost, not wrong
                else:
                    interrupted += 1
                    parts.append(stream.push(chunks[1]))  # the same chunk again
            finally:
                armed.clear()
                if timer.is_alive():
                    timer.join()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signum, previous)
        parts.append(stream.push(chunks[2]))
        assert np.array_equal(kind.joined(parts), expected, equal_nan=True), how
    assert interrupted >= 1  # the pushes were long enough to be stopped


@pytest.mark.parametrize("channel", [0, None], ids=["mono", "every-channel"])
@pytest.mark.parametrize("name", KINDS)
def test_two_threads_pushing_at_once_one_is_refused_and_nothing_is_lost(name, channel):
    kind = Kind(name, channel)
    chunks = kind.chunks(list(range(20_000, 240_000, 20_000)))  # rounds enough to collide
    stream, reference = kind.stream(), kind.stream(threads=1)
    refused = 0
    for chunk in chunks:  # the first push too: it creates the per-channel state
        start, results, errors = threading.Barrier(2), [], []

        def push():
            start.wait()
            try:
                results.append(stream.push(chunk))
            except RuntimeError as error:
                errors.append(str(error))

        pair = [threading.Thread(target=push) for _ in range(2)]
        for t in pair:
            t.start()
        for t in pair:
            t.join()
        assert all("another push" in e for e in errors)
        assert len(results) + len(errors) == 2 and results
        refused += len(errors)
        # Each accepted push is one push of the chunk, in some order.
        wanted = [reference.push(chunk) for _ in results]
        for got in results:
            assert any(np.array_equal(got, w, equal_nan=True) for w in wanted)
    assert refused >= 1
    end = [stream.push(chunks[-1][..., :0, :] if name == "synthesis" else chunks[-1][..., :0])]
    assert end[0].size == 0
