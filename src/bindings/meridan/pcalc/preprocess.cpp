// meridan.pcalc.preprocess: turns the tables users upload (opening positions, a
// broker's trade statement, a backtest's trade log) into what the portfolio book
// takes: a mapping of quantities and a list of Trade records.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/pyclass.hpp"
#include "common/names.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;
using meridan::bind::global;
using meridan::bind::Signature;
using meridan::bind::to_float;
using meridan::bind::to_int;

namespace {

constexpr const char* kNotStock = "交割单含有非股票数据，请修改后重新上传";

bool is_common_stock(py::handle instrument) {
    return meridan::bind::equal(instrument.attr("type"), "CS");
}

bool has_column(py::handle frame, const char* name) {
    return meridan::bind::contains(frame.attr("columns"), py::str(name));
}

// A column's cells as Python objects, read in one pass (the values itertuples would
// give for its rows).
py::list column(py::handle frame, const char* name) {
    return mb::getattr<"tolist">(frame[py::str(name)])();
}

// The interned keyword names of Trade's fields, in the order `new_trade` takes them.
PyObject* trade_keywords() {
    static PyObject* names = [] {
        PyObject* t = PyTuple_New(7);
        if (!t) throw py::error_already_set();
        const char* fields[] = {"datetime", "order_book_id", "symbol", "last_price",
                                "last_quantity", "side", "transaction_cost"};
        for (Py_ssize_t i = 0; i < 7; ++i)
            PyTuple_SET_ITEM(t, i, PyUnicode_InternFromString(fields[i]));
        return t;
    }();
    return names;
}

// Trade(datetime=…, order_book_id=…, symbol=…, last_price=…, last_quantity=…,
// side=…, transaction_cost=…), called by keyword without building a dict.
py::object new_trade(py::handle cls, py::handle datetime, py::handle oid,
                     py::handle symbol, py::handle price, py::handle quantity,
                     py::handle side, py::handle cost) {
    PyObject* args[] = {datetime.ptr(), oid.ptr(),  symbol.ptr(), price.ptr(),
                        quantity.ptr(), side.ptr(), cost.ptr()};
    PyObject* trade = PyObject_Vectorcall(cls.ptr(), args, 0, trade_keywords());
    if (!trade) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(trade);
}

[[noreturn]] void raise_runtime(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(preprocess, m, py::mod_gil_not_used()) {
    m.doc() =
        "Normalisation of uploaded position tables, trade statements and backtest "
        "logs.";
    meridan::bind::import_star(m, "tickvane");
    py::module_ util = py::module_::import("meridan.util");
    m.attr("fix_datetime") = util.attr("fix_datetime");
    m.attr("fix_order_book_id") = util.attr("fix_order_book_id");
    m.attr("Trade") = py::module_::import("meridan.pcalc.trade").attr("Trade");

    meridan::bind::def_function(
        m, {"fix_positions", {"frame"}, {}},
        "Opening positions from a table with columns order_book_id and quantity: a "
        "new\n"
        "dict from normalised order book id to the row's quantity (unconverted). A "
        "later\n"
        "row of the same instrument replaces an earlier one.",
        [m](meridan::bind::Args a) {
            py::dict positions;
            py::object fix_id = global(m, "fix_order_book_id");
            for (py::handle item : a[0].attr("iterrows")()) {
                py::object row = py::reinterpret_borrow<py::object>(item)[py::int_(1)];
                positions[fix_id(row.attr("order_book_id"))] = row.attr("quantity");
            }
            return py::object(positions);
        });

    meridan::bind::def_function(
        m, {"fix_trades", {"frame", "md"}, {}},
        "Trades of a user's statement (columns order_book_id, datetime, side,\n"
        "last_quantity, optional last_price and transaction_cost) as a new list of "
        "Trade\n"
        "records sorted by time (stable). Rows without a price column are priced at "
        "the\n"
        "close of their calendar day through the market data provider `md`. The first\n"
        "row that is not a common stock, has an unreadable time, falls on a day "
        "without\n"
        "trading or has a side other than BUY/SELL raises RuntimeError.",
        [m](meridan::bind::Args a) {
            const py::object& frame = a[0];
            const py::object& md = a[1];
            const bool priced = has_column(frame, "last_price");
            const bool costed = has_column(frame, "transaction_cost");
            py::list trades;
            if (py::len(frame) == 0) return py::object(trades);
            py::list ids = column(frame, "order_book_id");
            py::list times = column(frame, "datetime");
            py::list sides = column(frame, "side");
            py::list quantities = column(frame, "last_quantity");
            py::list prices = priced ? column(frame, "last_price") : py::list();
            py::list costs = costed ? column(frame, "transaction_cost") : py::list();
            py::object fix_id = global(m, "fix_order_book_id");
            py::object fix_time = global(m, "fix_datetime");
            py::object instruments = global(m, "instruments");
            py::object trading_dates = global(m, "get_trading_dates");
            py::object trade_cls = global(m, "Trade");
            py::float_ no_cost(0.0);
            const std::size_t n = py::len(ids);
            for (std::size_t i = 0; i < n; ++i) {
                py::object oid = fix_id(ids[i]);
                if (!is_common_stock(instruments(oid))) raise_runtime(kNotStock);

                py::object raw_time = times[i];
                py::object dt;
                try {
                    dt = fix_time(raw_time);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_Exception)) throw;
                    py::raise_from(
                        e, PyExc_RuntimeError,
                        ("invalid datetime: " + py::str(raw_time).cast<std::string>())
                            .c_str());
                    throw py::error_already_set();
                }
                if (!py::bool_(trading_dates(dt, dt))) {
                    raise_runtime(py::str(dt).cast<std::string>() +
                                  " is not a trading day");
                }
                py::object side = mb::getattr<"upper">(sides[i])();
                if (!meridan::bind::equal(side, "BUY") &&
                    !meridan::bind::equal(side, "SELL")) {
                    raise_runtime("invalid side: " + py::str(side).cast<std::string>() +
                                  ", should be \"BUY\" or \"SELL\"");
                }
                py::object price;
                if (priced) {
                    price = to_float(prices[i]);
                } else {
                    py::list one;
                    one.append(oid);
                    price = md.attr("get_close_price")(one, dt.attr("date")())[oid];
                }
                py::object cost = costed ? to_float(costs[i]) : no_cost;
                py::object symbol = mb::getattr<"symbol">(instruments(oid));
                trades.append(new_trade(trade_cls, dt, oid, symbol, price,
                                        to_int(quantities[i]), side, cost));
            }
            // list.sort is stable: trades of the same time keep their row order.
            trades.attr("sort")(
                py::arg("key") =
                    py::module_::import("operator").attr("attrgetter")("datetime"));
            return py::object(trades);
        });

    meridan::bind::def_function(
        m, {"fix_backtest_trades", {"frame"}, {}},
        "Trades of a backtest's log (indexed by trade time; columns order_book_id, "
        "side,\n"
        "last_price, last_quantity, transaction_cost) as a new list of Trade records "
        "in\n"
        "row order, leaving out instruments that are not common stocks.",
        [m](meridan::bind::Args a) {
            const py::object& frame = a[0];
            py::list trades;
            if (py::len(frame) == 0) return py::object(trades);
            py::list times = mb::getattr<"tolist">(mb::getattr<"index">(frame))();
            py::list ids = column(frame, "order_book_id");
            py::list sides = column(frame, "side");
            py::list prices = column(frame, "last_price");
            py::list quantities = column(frame, "last_quantity");
            py::list costs = column(frame, "transaction_cost");
            py::object instruments = global(m, "instruments");
            py::object trade_cls = global(m, "Trade");
            const std::size_t n = py::len(ids);
            for (std::size_t i = 0; i < n; ++i) {
                py::object instrument = instruments(ids[i]);
                if (!is_common_stock(instrument)) continue;
                trades.append(new_trade(trade_cls, times[i], ids[i],
                                        mb::getattr<"symbol">(instrument),
                                        to_float(prices[i]), to_int(quantities[i]),
                                        sides[i], to_float(costs[i])));
            }
            return py::object(trades);
        });
}
