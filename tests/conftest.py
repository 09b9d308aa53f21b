import asyncio
import secrets
import os

import pytest
from hypothesis import HealthCheck, settings

import tavelmoor.common_functions as native
import twin

# Shared 2-core machines: timing-based health checks would only measure the load.
settings.register_profile("tavelmoor", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("tavelmoor")


@pytest.fixture
def module():
    import tavelmoor.common_functions as cf
    return cf


@pytest.fixture(scope="session", params=[native, twin], ids=["native", "twin"])
def impl(request):
    """For tests about results: the native module, then its plain-Python twin."""
    return request.param


# PostgreSQL: one throwaway cluster per session, which asks for a password over TCP (so that its handling is
# tried), and a database per test made from a template that holds the schema.
POSTGRESQL_PASSWORD = "pg-s3cret-ÆØ"



@pytest.fixture(scope="session")
def postgresql_cluster():
    from tavelmoor.webhooks.store.cluster import Cluster, ClusterUnavailable
    try:
        import psycopg
        cluster = Cluster.create(password=POSTGRESQL_PASSWORD)
    except (ImportError, ClusterUnavailable) as error:
        if os.environ.get("TAVELMOOR_REQUIRE_POSTGRESQL"):
            pytest.fail(f"the PostgreSQL tests cannot run: {error}")
        pytest.skip(f"the PostgreSQL tests need a server: {error}")
    from tavelmoor.webhooks.store.postgres import migrate
    before = os.environ.get("PGPASSWORD")
    os.environ["PGPASSWORD"] = POSTGRESQL_PASSWORD     # for libpq, here and in the services the tests start
    with cluster:
        cluster.start()
        with psycopg.connect(cluster.url(), autocommit=True) as connection:
            connection.execute("CREATE DATABASE template_tavelmoor")

        async def make_template():
            async with await psycopg.AsyncConnection.connect(cluster.url("template_tavelmoor")) as connection:
                await migrate(connection, "template")
        asyncio.run(make_template())
        try:
            yield cluster
        finally:
            if before is None:
                os.environ.pop("PGPASSWORD", None)
            else:
                os.environ["PGPASSWORD"] = before


def new_database(cluster, template="template_tavelmoor"):
    import psycopg
    name = f"test_{secrets.token_hex(6)}"
    with psycopg.connect(cluster.url(), autocommit=True) as connection:
        connection.execute(f"CREATE DATABASE {name} TEMPLATE {template}")
    return cluster.url(name)


@pytest.fixture
def postgresql(postgresql_cluster):
    """The URL of a new database with the store's schema and nothing in it."""
    return new_database(postgresql_cluster)
