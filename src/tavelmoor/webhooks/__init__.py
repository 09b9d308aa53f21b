"""The webhook service: Instagram webhook deliveries in, one flat record per event out, built with
`tavelmoor.common_functions`.

Installed with the `webhooks` extra and run as `tavelmoor-webhooks` (or `python -m tavelmoor.webhooks`):
`serve` receives signed deliveries over HTTP, keeps each in a store before answering 200, and enriches every
event through the Graph API with a fixed pool of workers; `records`, `requeue` and `prune` read and tend the
store; `demo` runs it all on one machine; `batch` does the same work over delivery files without a service;
`stand-in` serves bundled posts as a local Graph API.

Modules, with data flowing one way: `cli` (arguments only) -> `service` (`receiver`, `admin`, `pipeline`)
-> `store` (the interface; `store.sqlite`) and `graph_api`, `records`, `payloads`, `metrics`, `signature`,
`config`. Importing this package imports nothing else.
"""
