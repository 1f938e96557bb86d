"""Development guard server: protocol pieces shared by the server and its tools.

Nothing here is shared with the agent on purpose: a fault on either side
has to show up as a failed exchange, not cancel out.
"""
