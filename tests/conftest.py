import pytest
from hypothesis import HealthCheck, settings

# Shared 2-core machines: timing-based health checks would only measure the load.
settings.register_profile("tavelmoor", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("tavelmoor")


@pytest.fixture
def module():
    import tavelmoor.common_functions as cf
    return cf
