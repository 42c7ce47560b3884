"""A process forked after the worker pool and the random generator exist:
the child's first element-wise operation and softmax work (it makes its own
pool), and its random values are not its parent's."""

import multiprocessing
import os

import pytest

from _nimbra import Tensor, nn

TIMEOUT = 120 if os.environ.get("NIMBRA_SANITIZED") == "1" else 30

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()"),
    # forking a process with threads is exactly what is tested here
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]


def warm_up_parent():
    """Brings up the pool (element-wise op and softmax split over workers)
    and the calling thread's generator."""
    assert (Tensor.ones([4096]) + Tensor.ones([4096])).sum().tolist() == [8192.0]
    assert Tensor.ones([64, 8]).softmax(1).sum().tolist() == [64.0]
    Tensor.rand([8])
    Tensor.randn([8])
    nn.Linear(4, 4)


def child_work():
    """Runs in the child: the first pool operations, then random draws."""
    added = Tensor.ones([4096]) * Tensor([3.0], [1]) - Tensor.ones([4096])
    probs = Tensor([float(i % 5) for i in range(600)], [30, 20]).softmax(1).tolist()
    return {
        "added": added.tolist(),
        "softmax": [round(sum(probs[i * 20:(i + 1) * 20]), 5) for i in range(30)],
        "rand": Tensor.rand([64]).tolist(),
        "randn": Tensor.randn([64]).tolist(),
        "linear": nn.Linear(3, 2)(Tensor.zeros([1, 3])).tolist(),
        "pid": os.getpid(),
    }


def check_child(result, parent_next):
    assert result["pid"] != os.getpid()
    assert result["added"] == [2.0] * 4096
    assert result["softmax"] == [1.0] * 30
    for key in ("rand", "randn", "linear"):
        assert result[key] != parent_next[key], f"the child repeats its parent's {key} stream"


def parent_next_values():
    return {
        "rand": Tensor.rand([64]).tolist(),
        "randn": Tensor.randn([64]).tolist(),
        "linear": nn.Linear(3, 2)(Tensor.zeros([1, 3])).tolist(),
    }


def test_forked_process_works_and_draws_its_own_values():
    warm_up_parent()
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        pending = [pool.apply_async(child_work) for _ in range(4)]
        parent_next = parent_next_values()
        results = [p.get(timeout=TIMEOUT) for p in pending]
    for r in results:
        check_child(r, parent_next)
    pids = {r["pid"] for r in results}
    by_pid = {r["pid"]: r for r in results}
    if len(pids) > 1:
        a, b = list(by_pid.values())[:2]
        assert a["rand"] != b["rand"], "two children draw the same values"
    # the parent still works afterwards
    assert (Tensor.ones([1000]) + Tensor.ones([1000])).sum().tolist() == [2000.0]


def _process_main(conn):
    try:
        conn.send(("ok", child_work()))
    except BaseException as e:  # report anything to the parent
        conn.send(("error", repr(e)))
    finally:
        conn.close()


def _grandchild_main(conn):
    """A child that uses the pool, then forks again."""
    try:
        first = child_work()
        ctx = multiprocessing.get_context("fork")
        recv, send = ctx.Pipe(duplex=False)
        p = ctx.Process(target=_process_main, args=(send,))
        p.start()
        send.close()
        if not recv.poll(TIMEOUT):
            p.kill()
            conn.send(("error", "grandchild hung"))
            return
        status, second = recv.recv()
        p.join(TIMEOUT)
        conn.send((status, (first, second)))
    except BaseException as e:
        conn.send(("error", repr(e)))
    finally:
        conn.close()


@pytest.mark.parametrize("target", [_process_main, _grandchild_main], ids=["child", "grandchild"])
def test_forked_process_with_a_fresh_generator_and_pool(target):
    warm_up_parent()
    ctx = multiprocessing.get_context("fork")
    recv, send = ctx.Pipe(duplex=False)
    p = ctx.Process(target=target, args=(send,))
    p.start()
    send.close()
    try:
        ready = recv.poll(TIMEOUT)
        if not ready:
            pytest.fail(f"forked child did not answer within {TIMEOUT} s (hung)")
        status, payload = recv.recv()
    finally:
        p.join(TIMEOUT)
        if p.is_alive():
            p.kill()
            p.join()
    parent_next = parent_next_values()
    assert status == "ok", payload
    assert p.exitcode == 0
    if target is _process_main:
        check_child(payload, parent_next)
    else:
        first, second = payload
        check_child(first, parent_next)
        check_child(second, parent_next)
        assert second["rand"] != first["rand"]
