# Every target runs inside the Python 3.14 environment (scripts/in-env),
# provisioning it first when the machine has none.
IN_ENV := scripts/in-env

.PHONY: test demo clean

test:
	$(IN_ENV) scripts/run-tests

demo:
	$(IN_ENV) python3.14 examples/demo.py

clean:
	rm -rf build
