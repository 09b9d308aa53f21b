"""The `tavelmoor-webhooks` command line: the missing extra, and the operator commands on a 0.1.0 database."""
import contextlib
import shutil
import sqlite3
import subprocess
import sys

import pytest

from support import run_python
from test_store import RELEASED_0_1_0


def command(*args):
    return subprocess.run([sys.executable, "-P", "-m", "tavelmoor.webhooks", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


def test_importing_the_package_and_the_command_line_loads_no_aiohttp_and_a_missing_extra_is_one_line():
    run_python("""
        import sys
        import tavelmoor, tavelmoor.common_functions, tavelmoor.webhooks, tavelmoor.webhooks.cli
        assert not {"aiohttp", "prometheus_client"} & set(sys.modules), sorted(sys.modules)
    """)
    proc = run_python("""
        import sys
        sys.modules["prometheus_client"] = None     # as if not installed
        from tavelmoor.webhooks.cli import main
        sys.exit(main(["demo"]))
    """, check=False)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.count("\n") == 1 and "pip install 'tavelmoor[webhooks]'" in proc.stderr
    proc = run_python("""
        import sys
        sys.modules["psycopg"] = None
        from tavelmoor.webhooks.cli import main
        sys.exit(main(["records", "--database", "postgresql://inbox.example/inbox"]))
    """, check=False)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.count("\n") == 1 and "pip install 'tavelmoor[postgresql]'" in proc.stderr


@pytest.fixture
def old_database(tmp_path):
    path = tmp_path / "inbox.db"
    shutil.copy(RELEASED_0_1_0, path)
    with contextlib.closing(sqlite3.connect(path, isolation_level=None)) as db:
        db.execute("UPDATE deliveries SET received_at = received_at - 30 * 86400")
    return path


def test_prune_and_requeue_on_a_database_of_0_1_0(old_database):
    refused = command("prune", "--database", old_database, "--older-than", "47h")
    assert refused.returncode == 2 and "'47h' is under 48 hours" in refused.stderr
    # Finished: the deliveries whose events are all done or failed at the Graph API, and the one sent
    # twice; not those with work left, the refused story_insights change or the dead letter.
    pruned = command("prune", "--database", old_database, "--older-than", "3d")
    assert (pruned.returncode, pruned.stdout) == (0, "tavelmoor-webhooks: pruned 4 deliveries and 3 records\n")
    requeued = command("requeue", "--database", old_database)
    assert requeued.returncode == 0, requeued.stderr
    assert requeued.stdout == ("tavelmoor-webhooks: 1 failed events put back to pending; 2 deliveries parsed "
                               "again gave 0 new events; 1 dead letters left\n")
