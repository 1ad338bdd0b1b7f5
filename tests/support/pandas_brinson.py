"""A plain pandas rendering of the Brinson attribution, written the straightforward
way (Series arithmetic, groupby, reindex), used as the independent reference of the
tests and as the baseline of the benchmark. It follows the package's documented
behaviour, mended cases included: zero-weight sectors return 0, the second method is
Brinson-Fachler, dates compare as calendar days."""

import numpy as np
import pandas as pd

CASH, TOTAL = "现金", "总计"
COLUMNS = ["PortfolioWeight", "BenchmarkWeight", "WeightDifference", "PortfolioReturn",
           "BenchmarkReturn", "ReturnDifference", "Allocation", "Selection", "Interaction",
           "TotalActiveReturn"]


def _day(value):
    return pd.Timestamp(value).normalize()


def split_by_position(series, md):
    def holdings_of(p):
        return {pos["order_book_id"]: pos["quantity"] for pos in p["positions"]}

    result, holdings, current = [], holdings_of(series[0]), [series[0]]
    for p in series[1:]:
        for oid, coefficient in md.get_split_coefficient(holdings.keys(), p["date"]).items():
            q = holdings[oid] * coefficient
            if isinstance(q, float) and abs(q - round(q)) <= 1e-6:
                q = float(round(q))
            holdings[oid] = q
        xholdings = holdings_of(p)
        if holdings != xholdings:
            result.append(current)
            current, holdings = [p], xholdings
        else:
            current.append(p)
    result.append(current)
    return result


def _grouped(weighting, weighted_return, classifier):
    sector_weight = weighting.groupby(classifier).sum()
    sector_return = (weighted_return.groupby(classifier).sum() / sector_weight)
    return sector_weight, sector_return.where(sector_weight != 0, 0.0)


def portfolio_single_period(tv, portfolio, classifier):
    p0 = portfolio[0]
    positions = [pos for pos in p0["positions"] if pos["quantity"] != 0]
    weighting = pd.Series({pos["order_book_id"]: pos["market_value"] / p0["market_value"]
                           for pos in positions}, dtype=float)
    if positions:
        daily = tv.get_price_change_rate([pos["order_book_id"] for pos in positions],
                                         start_date=p0["date"], end_date=portfolio[-1]["date"])
        weighted_return = weighting * ((daily + 1).prod(axis=0) - 1)
    else:
        weighted_return = pd.Series(dtype=float)
    sector_weight, sector_return = _grouped(weighting, weighted_return, classifier)
    sector_weight[CASH] = p0["cash"] / p0["market_value"]
    sector_return[CASH] = 0.0
    return sector_weight, sector_return


def combine(results, sectors):
    value, total_length = 1.0, 0
    sector_weight = pd.Series(0.0, index=sectors)
    sector_total = pd.Series(0.0, index=sectors)
    for length, (weight, return_) in results:
        total_length += length
        weight = weight.reindex(sectors, fill_value=0)
        return_ = return_.reindex(sectors, fill_value=0)
        sector_weight += length * weight
        sector_total += value * weight * return_
        value *= 1 + np.dot(weight.values, return_.values)
    sector_weight /= total_length
    return sector_weight, (sector_total / sector_weight).fillna(0)


def benchmark_single_period(tv, benchmark, classifier, start, end):
    weighting = benchmark.get_weighting(start)
    weighting = weighting / weighting.sum()
    daily = tv.get_price_change_rate(list(weighting.index), start_date=start, end_date=end)
    return _grouped(weighting, weighting * ((daily + 1).prod(axis=0) - 1), classifier)


def calc_benchmark(tv, benchmark, dates, classifier):
    durations, components, days = [], set(benchmark.components(dates[0])), [dates[0]]
    for d in dates[1:]:
        xcomponents = set(benchmark.components(d))
        if xcomponents != components:
            durations.append(days)
            days, components = [d], xcomponents
        else:
            days.append(d)
    durations.append(days)
    results = [(len(d), benchmark_single_period(tv, benchmark, classifier, d[0], d[-1]))
               for d in durations]
    weight, ret = combine(results, [CASH] + classifier.all_sectors())
    weight *= 1 / weight.sum()
    r1 = (weight * ret).sum()
    if r1 != 0:
        ret *= benchmark.get_change_rate(dates[0], dates[-1]) / r1
    return weight, ret


def calc(tv, series, benchmark, classifier, start, end, md, method):
    lo, hi = _day(start), _day(end)
    series = [p for p in series if lo <= _day(p["date"]) <= hi]
    periods = split_by_position(series, md)
    results = [(len(p), portfolio_single_period(tv, p, classifier)) for p in periods]
    sectors = [CASH] + classifier.all_sectors()
    wp, rp = combine(results, sectors)
    wp *= 1 / wp.sum()
    p1 = (wp * rp).sum()
    if p1 != 0:
        rp *= (series[-1]["market_value"] / series[0]["market_value"] - 1) / p1
    wb, rb = calc_benchmark(tv, benchmark, [p["date"] for p in series], classifier)
    q1, q3, q4 = wb * rb, wb * rp, wp * rp
    if method == "BHB":
        q2 = wp * rb
        effects = [q2 - q1, q3 - q1, q4 - q3 - q2 + q1, q4 - q1]
    else:
        allocation = (wp - wb) * (rb - q1.sum())
        selection = wb * (rp - rb)
        interaction = (wp - wb) * (rp - rb)
        effects = [allocation, selection, interaction, allocation + selection + interaction]
    columns = [wp, wb, wp - wb, rp, rb, rp - rb] + effects
    totals = [wp.sum(), wb.sum(), 0.0, q4.sum(), q1.sum(), q4.sum() - q1.sum()]
    totals += [e.sum() for e in effects]
    table = pd.DataFrame(dict(zip(COLUMNS, columns)))
    table.loc[TOTAL] = totals
    return table
