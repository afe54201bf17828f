"""Log in to the sandbox broker and read account information.

Run with ``bash scripts/quickstart.sh`` (or ``.venv/bin/python examples/quickstart.py``).
"""
import tavrolix_open_api as tv

# Seeded sandbox users: application id and secret are the first two texts.
ctx = tv.login("inv001", "inv001-secret", "", "", False)
print("logged in on channel", ctx["channel_id"])

deriv = tv.get_investor_derivatives_account_info(ctx, "D-1001")
print("derivatives D-1001:", deriv["data"])

for account in ("E-1001", "E-1002"):
    eq = tv.get_investor_equity_account_info(ctx, account)
    if not eq["success"]:  # a refused request has empty data
        print("equity %s refused: %s" % (account, eq["message"]))
        continue
    data = eq["data"]
    print("equity %s (%s): %d keys, cash %.2f, line available %.2f"
          % (account, data["account_type"], len(data), data["cash_balance"], data["line_available"]))

refused = tv.get_investor_equity_account_info(ctx, "E-2001")  # another investor's account
print("someone else's account:", refused["success"], refused["status_code"], refused["message"])

rep = tv.login("mkt001", "mkt001-secret", "", "", False)
print("market representative sees E-2001:", tv.get_marketrep_equity_account_info(rep, "E-2001")["success"])

try:
    tv.login("inv001", "wrong", "", "", False)
except RuntimeError as e:
    print("wrong secret refused:", e)
