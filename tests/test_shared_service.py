"""Services sharing one PostgreSQL database, in child processes, under the faults a shared store must survive."""
import asyncio
import os
import signal
import subprocess
import sys
import time

import pytest

from test_service import ACCESS_TOKEN, BUNDLED, BUNDLED_EVENTS, DATA, post_bundled, service_env, start_service

pytestmark = pytest.mark.postgresql

# Short leases, so that a lost worker's events are taken up within seconds.
LEASE = ("--lease", "2", "--renew-every", "0.3", "--timeout", "1.5", "--poll-interval", "0.2")


def store_state(database):
    """The events' states and the records per event key, as they stand."""
    import psycopg
    with psycopg.connect(database) as connection:
        states = dict(connection.execute("SELECT state, count(*) FROM events GROUP BY state").fetchall())
        per_key = connection.execute("SELECT count(records.event_id) FROM events LEFT JOIN records "
                                     "ON records.event_id = events.id GROUP BY events.key").fetchall()
    return states, sorted(count for (count,) in per_key)


async def settled(database, deadline):
    """The store's state once every event is done, or the test fails at `deadline` (a monotonic time)."""
    while time.monotonic() < deadline:
        states, per_key = store_state(database)
        if set(states) == {"done"}:
            return states, per_key
        await asyncio.sleep(0.1)
    pytest.fail(f"events not done in time: {store_state(database)}")


def run_services(scenario, **stand_in_options):
    """Runs `scenario(stand_in, start, session)`; `start(name, *options)` starts a service logging to `name`."""
    import aiohttp
    from tavelmoor.webhooks.stand_in import RunningStandIn, StandIn, load_posts

    async def go():
        processes = []
        stand_in = StandIn(load_posts(DATA / "posts.json"), access_token=ACCESS_TOKEN, **stand_in_options)
        async with RunningStandIn(stand_in) as running, aiohttp.ClientSession() as session:

            async def start(database, log, *options):
                service = await start_service(database, running.base_url, log, *LEASE, *options)
                processes.append(service[0])
                return service
            try:
                async with asyncio.timeout(60):
                    return await scenario(stand_in, start, session)
            finally:
                for process in processes:
                    if process.returncode is None:
                        process.send_signal(signal.SIGCONT)
                        process.kill()
                    await process.wait()
    return asyncio.run(go())


def test_a_killed_services_claims_are_taken_over_after_the_lease(postgresql, tmp_path):
    async def scenario(stand_in, start, session):
        with open(tmp_path / "first.log", "w") as first_log, open(tmp_path / "second.log", "w") as second_log:
            first, url, _ = await start(postgresql, first_log, "--concurrency", "3")
            await post_bundled(session, url)
            while store_state(postgresql)[0].get("in_flight", 0) < 6:
                await asyncio.sleep(0.05)
            first.kill()
            await first.wait()
            stand_in.latency = 0
            killed_at = time.monotonic()
            second, _, _ = await start(postgresql, second_log)
            states, per_key = await settled(postgresql, killed_at + 2 + 10)
            second.terminate()
            assert await second.wait() == 0
        assert per_key == [1] * BUNDLED_EVENTS
        assert "events claimed again after their lease passed" in (tmp_path / "second.log").read_text()

    # Every answer takes a minute: the first service holds six events when it is killed.
    run_services(scenario, latency=60)


def test_a_service_stopped_past_its_lease_has_its_late_outcomes_refused(postgresql, tmp_path):
    async def scenario(stand_in, start, session):
        with open(tmp_path / "stopped.log", "w") as stopped_log, open(tmp_path / "other.log", "w") as other_log:
            stopped, url, stopped_admin = await start(postgresql, stopped_log, "--concurrency", "3")
            await post_bundled(session, url)
            while store_state(postgresql)[0].get("in_flight", 0) < 6:
                await asyncio.sleep(0.05)
            stopped.send_signal(signal.SIGSTOP)
            other, _, _ = await start(postgresql, other_log)
            await settled(postgresql, time.monotonic() + 2 + 10)
            stopped.send_signal(signal.SIGCONT)
            # Back, it finds its claims taken: it stores nothing and says so.
            async def late_outcomes():
                async with session.get(stopped_admin + "/metrics") as answer:
                    text = await answer.text()
                return float(text.split("\ntavelmoor_webhooks_stale_outcomes_total ")[1].split()[0])
            while await late_outcomes() < 3:
                await asyncio.sleep(0.1)
            for process in (stopped, other):
                process.terminate()
                assert await process.wait() == 0
        assert store_state(postgresql) == ({"done": BUNDLED_EVENTS}, [1] * BUNDLED_EVENTS)

    # Each answer takes a second: the stopped service holds three calls and three claims behind them.
    run_services(scenario, latency=1)


HOLDER = """
import sys, psycopg
from tavelmoor.webhooks.store.postgres import connection_info
with psycopg.connect(connection_info(sys.argv[1])) as connection:
    [(delivery,)] = connection.execute("INSERT INTO deliveries (received_at) VALUES (0) RETURNING id")
    connection.execute("INSERT INTO events (key, delivery_id, state) VALUES (%s, %s, 'pending')",
                       (sys.argv[2], delivery))
    print("holding", flush=True)
    sys.stdin.read()
"""


def test_a_process_stopped_in_a_transaction_holds_the_others_up_only_until_its_session_times_out(postgresql,
                                                                                               tmp_path):
    from tavelmoor.webhooks.payloads import event_key, parse_delivery
    from test_service import body_of
    body = body_of(BUNDLED[0])
    # The same session settings as the services', with the idle transaction's timeout shortened for the test.
    holder_url = postgresql + "?options=-c%20idle_in_transaction_session_timeout%3D2s"

    async def scenario(stand_in, start, session):
        with open(tmp_path / "service.log", "w") as log, subprocess.Popen(
                [sys.executable, "-P", "-c", HOLDER, holder_url, event_key(parse_delivery(body)[0])],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=service_env()) as holder:
            try:
                # Stopped while its transaction holds the key of an event the service is about to store.
                assert holder.stdout.readline() == "holding\n"
                os.kill(holder.pid, signal.SIGSTOP)
                held_at = time.monotonic()
                service, url, _ = await start(postgresql, log)
                posted_at = time.monotonic()
                await post_bundled(session, url, [BUNDLED[0]])
                answered_at = time.monotonic()
                await settled(postgresql, time.monotonic() + 5)
            finally:
                holder.kill()
            service.terminate()
            assert await service.wait() == 0
        # The insert waited for the key until the stopped session was ended (2 s after its last statement), well
        # within its own lock timeout.
        assert answered_at - held_at > 1.5 and answered_at - posted_at < 5.0
        assert store_state(postgresql) == ({"done": 1}, [1])

    run_services(scenario)


def test_three_services_share_a_burst_while_one_is_killed_and_one_stopped_and_continued(postgresql, tmp_path):
    """Deliveries spread over three services, each also sent to another; the first is killed and the second
    stopped past its lease mid-burst. A delivery that gets no 200 goes to the next service, as the platform would
    send it again."""
    import aiohttp
    from test_service import body_of, fresh, sign
    deliveries = [body_of(fresh(BUNDLED[n % len(BUNDLED)], 100 + n // len(BUNDLED))) for n in range(60)]
    kept = set()

    async def scenario(stand_in, start, session):
        logs = [open(tmp_path / f"service-{n}.log", "w") for n in range(3)]
        try:
            services = await asyncio.gather(*(start(postgresql, log) for log in logs))
            started = time.monotonic()

            async def deliver(body, first):
                for n in range(first, first + 6):
                    try:
                        async with session.post(services[n % 3][1], data=body, timeout=aiohttp.ClientTimeout(1),
                                                headers={"X-Hub-Signature-256": sign(body)}) as answer:
                            if answer.status == 200:
                                kept.add(body)
                                return
                    except (aiohttp.ClientError, TimeoutError):
                        pass

            async def burst():
                for n, body in enumerate(deliveries):
                    await asyncio.gather(deliver(body, n), deliver(body, n + 1))
                    await asyncio.sleep(0.03)

            async def faults():
                killed, stopped = services[0][0], services[1][0]
                await asyncio.sleep(0.6)
                killed.kill()
                await asyncio.sleep(0.3)
                stopped.send_signal(signal.SIGSTOP)
                await asyncio.sleep(3)      # past its lease of 2 s
                stopped.send_signal(signal.SIGCONT)
            await asyncio.gather(burst(), faults())
            states, per_key = await settled(postgresql, time.monotonic() + 2 + 10)
            for process, _, _ in services[1:]:
                process.terminate()
                assert await process.wait() == 0
            assert time.monotonic() - started < 60
        finally:
            for log in logs:
                log.close()
        assert per_key == [1] * (len(deliveries) // len(BUNDLED) * BUNDLED_EVENTS)

    run_services(scenario, latency=0.05)
    import psycopg
    with psycopg.connect(postgresql) as connection:
        stored = {bytes(body) for (body,) in connection.execute(
            "SELECT body FROM deliveries JOIN bodies ON bodies.hash = deliveries.body_hash")}
    assert len(kept) == len(deliveries) and kept <= stored


def test_the_database_stopped_and_started_under_load_loses_nothing(postgresql_cluster, postgresql, tmp_path):
    """While PostgreSQL is down deliveries are answered 503 with Retry-After within the commit deadline and /healthz
    says why; once it is back the service reconnects by itself, and every delivery answered 200 is stored and
    done."""
    import aiohttp
    from test_service import body_of, fresh, sign
    deliveries = [body_of(fresh(BUNDLED[n % len(BUNDLED)], 200 + n // len(BUNDLED))) for n in range(100)]
    kept, refusals, health = set(), [], []

    async def scenario(stand_in, start, session):
        with open(tmp_path / "service.log", "w") as log:
            service, url, admin = await start(postgresql, log)

            async def healthz():
                async with session.get(admin + "/healthz") as answer:
                    store = (await answer.json())["store"]
                    health.append((answer.status, store["writable"], "cannot be reached" in (store["problem"] or "")))

            async def deliver(body):
                while body not in kept:
                    sent = time.monotonic()
                    async with session.post(url, data=body, headers={"X-Hub-Signature-256": sign(body)}) as answer:
                        if answer.status == 200:
                            kept.add(body)
                        else:
                            refusals.append((answer.status, answer.headers.get("Retry-After"),
                                             time.monotonic() - sent))
                            await asyncio.sleep(0.2)

            async def burst():
                for body in deliveries:
                    await deliver(body)
                    await asyncio.sleep(0.02)

            async def outage():
                await asyncio.sleep(0.5)
                await asyncio.to_thread(postgresql_cluster.stop, "fast")
                await asyncio.sleep(1.5)
                sent = time.monotonic()
                await healthz()
                health.append(time.monotonic() - sent < 1.5)
                await asyncio.sleep(0.5)
                await asyncio.to_thread(postgresql_cluster.start)
            try:
                await asyncio.gather(burst(), outage())
            finally:
                await asyncio.to_thread(postgresql_cluster.start)
            await settled(postgresql, time.monotonic() + 2 + 10)
            await healthz()
            service.terminate()
            assert await service.wait() == 0
        assert {(status, retry_after) for status, retry_after, _ in refusals} <= {(503, "5")}
        assert max((seconds for _, _, seconds in refusals), default=0) < 5 + 1
        # /healthz said at once why the store could not take writes, and that it could again.
        assert health == [(503, False, True), True, (200, True, False)]
        assert store_state(postgresql)[1] == [1] * (len(deliveries) // len(BUNDLED) * BUNDLED_EVENTS)

    run_services(scenario, latency=0.05)


def test_an_idle_service_hears_of_new_events_and_hears_again_after_the_database_restarted(
        postgresql_cluster, postgresql, tmp_path):
    """The service given the deliveries has one worker; the idle one, which polls twice a minute, takes a share
    of them at once only if LISTEN tells it, before the database's restart as after."""
    from test_service import body_of, fresh

    async def scenario(stand_in, start, session):
        with open(tmp_path / "busy.log", "w") as busy_log, open(tmp_path / "idle.log", "w") as idle_log:
            _, url, _ = await start(postgresql, busy_log, "--concurrency", "1")
            await start(postgresql, idle_log, "--poll-interval", "30")
            for round in range(2):
                await post_bundled(session, url, [fresh(document, 300 + round) for document in BUNDLED])
                await settled(postgresql, time.monotonic() + 8)
                assert (tmp_path / "idle.log").read_text().count("event done") >= 2 + 2 * round
                if round == 0:
                    await asyncio.to_thread(postgresql_cluster.stop, "fast")
                    await asyncio.to_thread(postgresql_cluster.start)
                    while "listening again" not in (tmp_path / "idle.log").read_text():
                        await asyncio.sleep(0.1)
                    await asyncio.sleep(1.5)     # LISTEN again, once the database answers

    run_services(scenario, latency=0.5)
