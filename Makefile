# Every target runs inside the Python 3.14 environment (scripts/in-env),
# provisioning it first when the machine has none.
IN_ENV := scripts/in-env

.PHONY: test demo verify bench clean

test:
	$(IN_ENV) scripts/run-tests

verify:
	$(IN_ENV) scripts/verify

bench:
	$(IN_ENV) scripts/bench

demo:
	$(IN_ENV) python3.14 examples/demo.py

clean:
	rm -rf build
