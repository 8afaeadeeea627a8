"""Running the conversions: in this process, in threads, or in worker processes that may die."""

from __future__ import annotations

import os
import select
import signal
import threading
import time
from collections import deque
from collections.abc import Iterator
from concurrent.futures import (
    FIRST_COMPLETED,
    Executor,
    Future,
    ProcessPoolExecutor,
    ThreadPoolExecutor,
    as_completed,
    wait,
)
from concurrent.futures.process import BrokenProcessPool
from contextlib import suppress
from types import FrameType
from typing import Any

from corvex.dataset.convert import Outcome, Task, convert_session


def run_tasks(tasks: list[Task], jobs: int, executor: str) -> Iterator[Outcome]:
    """The outcomes of ``tasks``, as they finish. An interrupt (Ctrl-C) ends the run with
    ``KeyboardInterrupt`` even when a library caught it inside a conversion; the outcome of a
    conversion it hit is dropped, never taken for the file's error."""
    workers = min(jobs, len(tasks))
    with _Interrupts() as interrupts:
        if workers <= 1:
            outcomes: Iterator[Outcome] = map(convert_session, tasks)
        elif executor == "thread":
            pool = ThreadPoolExecutor(workers)
            outcomes = _drain(pool, {pool.submit(convert_session, t): t for t in tasks})
        else:
            outcomes = _run_processes(tasks, workers)
        try:
            for outcome in outcomes:
                interrupts.check()
                yield outcome
        finally:
            close = getattr(outcomes, "close", None)
            if close is not None:
                close()
            if executor == "thread" and workers > 1:
                pool.shutdown(wait=True, cancel_futures=True)


class _Interrupts:
    """Notes every SIGINT this process gets while the conversions run (in the main thread, when
    nobody installed a handler of their own), so that one swallowed inside a library still ends
    the run."""

    def __init__(self) -> None:
        self.hit = False
        self.previous: Any = None

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        self.hit = True
        raise KeyboardInterrupt

    def check(self) -> None:
        if self.hit:
            raise KeyboardInterrupt

    def __enter__(self) -> _Interrupts:
        if (
            threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler
        ):
            self.previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        self.check()


def _worker_start(parent: int) -> None:
    """Run first in each worker process: it dies with the export that started it.

    A worker's parent is the fork server, and both hold pipes that keep each other and the
    resource tracker alive, so nothing of multiprocessing's notices a killed export. A thread of
    the worker waits for the export's process to end (a pidfd on Linux, else a poll) and then
    kills the worker; the fork server and the resource tracker follow as their pipes close.
    Interrupts are the export's to handle: a Ctrl-C at the terminal reaches every process of the
    group, and the export stops its workers itself.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threading.Thread(target=_die_with, args=(parent,), daemon=True, name="corvex-watch").start()


def _die_with(parent: int) -> None:
    try:
        handle = os.pidfd_open(parent)
    except (AttributeError, OSError):
        handle = None
    if handle is not None:
        select.select([handle], [], [])  # readable once the process has ended
    else:
        while _alive(parent):
            time.sleep(0.1)
    os.kill(os.getpid(), signal.SIGKILL)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def _stop(pool: ProcessPoolExecutor) -> None:
    """End a pool's worker at once (a conversion of an hour's file is not waited for)."""
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        with suppress(OSError, ValueError):
            process.kill()
    pool.shutdown(wait=True, cancel_futures=True)


def _drain(pool: Executor, futures: dict[Future[Outcome], Task]) -> Iterator[Outcome]:
    try:
        for future in as_completed(futures):
            yield future.result()
    except BaseException:
        for future in futures:
            future.cancel()
        raise


# A file whose worker process died this many times (a crash, the out-of-memory killer) is
# reported as failed instead of being tried again.
_MAX_CRASHES = 2


def _run_processes(tasks: list[Task], workers: int) -> Iterator[Outcome]:
    """Run the tasks in worker processes; a worker that dies fails only its own file.

    Each worker is a one-process pool given one task at a time, so that when a worker dies
    the file it was converting is known; the worker is replaced and the file tried again.
    """
    import multiprocessing

    # forkserver: workers start from a clean process, not a copy of this one's threads; it
    # imports pyarrow and corvex once, and each worker forks from it with them imported.
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["corvex.dataset"])
    queue = deque(tasks)
    pools: list[ProcessPoolExecutor] = []
    running: dict[Future[Outcome], tuple[int, Task]] = {}
    crashes: dict[str, int] = {}
    converted = 0

    def start(slot: int) -> None:
        task = queue.popleft()
        running[pools[slot].submit(convert_session, task)] = (slot, task)

    def new_pool() -> ProcessPoolExecutor:
        return ProcessPoolExecutor(
            1, mp_context=context, initializer=_worker_start, initargs=(os.getpid(),)
        )

    finished_all = False
    try:
        for slot in range(min(workers, len(queue))):
            pools.append(new_pool())
            start(slot)
        while running:
            finished, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in finished:
                slot, task = running.pop(future)
                try:
                    outcome: Outcome | None = future.result()
                    converted += 1
                except BrokenProcessPool:
                    pools[slot].shutdown(wait=False, cancel_futures=True)
                    pools[slot] = new_pool()
                    crashes[task.key] = crashes.get(task.key, 0) + 1
                    if not converted and sum(crashes.values()) >= _MAX_CRASHES * len(pools):
                        raise RuntimeError(
                            "the worker processes stop before converting anything; when the "
                            "export is started from a script, start it under `if __name__ == "
                            "'__main__':` (the workers import the script), or pass "
                            "executor='thread'"
                        ) from None
                    outcome = None
                    if crashes[task.key] < _MAX_CRASHES:
                        queue.appendleft(task)
                    else:
                        outcome = Outcome(task, error_class="internal")
                        outcome.reason = "the worker process converting this file died"
                if outcome is not None:
                    yield outcome
                if queue:
                    start(slot)
        finished_all = True
    finally:
        for pool in pools:
            if finished_all:
                pool.shutdown(wait=True, cancel_futures=True)
            else:
                _stop(pool)


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
