"""Running the conversions: in this process, in threads, or in worker processes that may die."""

from __future__ import annotations

import os
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

from corvex.dataset.convert import Outcome, Task, convert_session


def run_tasks(tasks: list[Task], jobs: int, executor: str) -> Iterator[Outcome]:
    workers = min(jobs, len(tasks))
    if workers <= 1:
        yield from map(convert_session, tasks)
    elif executor == "thread":
        with ThreadPoolExecutor(workers) as pool:
            yield from _drain(pool, {pool.submit(convert_session, t): t for t in tasks})
    else:
        yield from _run_processes(tasks, workers)


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

    try:
        for slot in range(min(workers, len(queue))):
            pools.append(ProcessPoolExecutor(1, mp_context=context))
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
                    pools[slot] = ProcessPoolExecutor(1, mp_context=context)
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
    finally:
        for pool in pools:
            pool.shutdown(wait=True, cancel_futures=True)


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
