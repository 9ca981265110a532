"""The ``otel`` fixture: the OpenTelemetry SDK behind the global tracer and meter providers,
with the SDK's in-memory span exporter and metric reader, cleared for each test.

The global providers can be set once per process, so they are installed on first use and
kept; the reader reports deltas, so each test sees only its own measurements. Tests that use
the fixture skip when the SDK is not installed.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import pytest

__all__ = ["Recorded", "otel"]

_installed: tuple[Any, Any] | None = None


def _install() -> tuple[Any, Any]:
    global _installed
    if _installed is None:
        from opentelemetry import metrics, trace
        from opentelemetry.sdk.metrics import Counter, Histogram, MeterProvider
        from opentelemetry.sdk.metrics.export import AggregationTemporality, InMemoryMetricReader
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

        exporter = InMemorySpanExporter()
        provider = TracerProvider()
        provider.add_span_processor(SimpleSpanProcessor(exporter))
        trace.set_tracer_provider(provider)
        delta = AggregationTemporality.DELTA
        reader = InMemoryMetricReader(preferred_temporality={Counter: delta, Histogram: delta})
        metrics.set_meter_provider(MeterProvider(metric_readers=[reader]))
        _installed = (exporter, reader)
    return _installed


class Recorded:
    """What the code under test exported since the test began."""

    def __init__(self, exporter: Any, reader: Any) -> None:
        self.exporter, self.reader = exporter, reader
        self.tracer = __import__("opentelemetry.trace", fromlist=["get_tracer"]).get_tracer("tests")

    def spans(self, prefix: str = "") -> list[Any]:
        """Finished spans whose name starts with `prefix`, in the order they ended."""
        return [s for s in self.exporter.get_finished_spans() if s.name.startswith(prefix)]

    def waits(self) -> list[Any]:
        return self.spans("kavri.approval.wait")

    def guards(self) -> list[Any]:
        return self.spans("kavri.guard")

    def metrics(self) -> dict[str, list[tuple[dict[str, Any], Any]]]:
        """Each instrument's points since the last call: (attributes, value or histogram count)."""
        out: dict[str, list[tuple[dict[str, Any], Any]]] = {}
        data = self.reader.get_metrics_data()
        for resource in data.resource_metrics if data else []:
            for scope in resource.scope_metrics:
                for metric in scope.metrics:
                    for point in metric.data.data_points:
                        value = getattr(point, "value", None)
                        if value is None:
                            value = point.count
                        out.setdefault(metric.name, []).append((dict(point.attributes), value))
        return out

    def clear(self) -> None:
        self.exporter.clear()
        self.reader.get_metrics_data()


@pytest.fixture
def otel() -> Iterator[Recorded]:
    pytest.importorskip("opentelemetry.sdk")
    recorded = Recorded(*_install())
    recorded.clear()
    yield recorded
    recorded.clear()
