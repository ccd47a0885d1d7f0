# Tests of the release tool (host).
