// shared test fixtures
