# Every target runs inside the Python 3.14 environment (scripts/in-env),
# provisioning it first when the machine has none.
IN_ENV := scripts/in-env

.PHONY: test demo docs verify bench clean

test:
	$(IN_ENV) scripts/run-tests

verify:
	$(IN_ENV) scripts/verify

bench:
	$(IN_ENV) scripts/bench

demo:
	$(IN_ENV) python3.14 examples/demo.py

# The pictures of docs/, drawn from the modules' own output (matplotlib).
docs:
	$(IN_ENV) python3.14 docs/figures.py

clean:
	rm -rf build
