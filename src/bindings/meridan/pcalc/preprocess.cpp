// meridan.pcalc.preprocess: turns the tables users upload (opening positions, a
// broker's trade statement, a backtest's trade log) into what the portfolio book
// takes: a mapping of quantities and a list of Trade records.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
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
            for (py::handle row : frame.attr("itertuples")()) {
                py::object oid =
                    global(m, "fix_order_book_id")(row.attr("order_book_id"));
                if (!is_common_stock(global(m, "instruments")(oid)))
                    raise_runtime(kNotStock);

                py::object raw_time = row.attr("datetime");
                py::object dt;
                try {
                    dt = global(m, "fix_datetime")(raw_time);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_Exception)) throw;
                    py::raise_from(
                        e, PyExc_RuntimeError,
                        ("invalid datetime: " + py::str(raw_time).cast<std::string>())
                            .c_str());
                    throw py::error_already_set();
                }
                if (!py::bool_(global(m, "get_trading_dates")(dt, dt))) {
                    raise_runtime(py::str(dt).cast<std::string>() +
                                  " is not a trading day");
                }
                py::object side = row.attr("side").attr("upper")();
                if (!meridan::bind::equal(side, "BUY") &&
                    !meridan::bind::equal(side, "SELL")) {
                    raise_runtime("invalid side: " + py::str(side).cast<std::string>() +
                                  ", should be \"BUY\" or \"SELL\"");
                }
                py::object price;
                if (priced) {
                    price = to_float(row.attr("last_price"));
                } else {
                    py::list one;
                    one.append(oid);
                    price = md.attr("get_close_price")(one, dt.attr("date")())[oid];
                }
                py::object cost =
                    costed ? to_float(row.attr("transaction_cost")) : py::float_(0.0);
                py::object symbol = global(m, "instruments")(oid).attr("symbol");
                trades.append(global(m, "Trade")(
                    py::arg("datetime") = dt, py::arg("order_book_id") = oid,
                    py::arg("symbol") = symbol, py::arg("last_price") = price,
                    py::arg("last_quantity") = to_int(row.attr("last_quantity")),
                    py::arg("side") = side, py::arg("transaction_cost") = cost));
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
            py::list trades;
            for (py::handle row : a[0].attr("itertuples")()) {
                py::object instrument =
                    global(m, "instruments")(row.attr("order_book_id"));
                if (!is_common_stock(instrument)) continue;
                trades.append(global(m, "Trade")(
                    py::arg("datetime") = row.attr("Index"),
                    py::arg("order_book_id") = row.attr("order_book_id"),
                    py::arg("symbol") = instrument.attr("symbol"),
                    py::arg("last_price") = to_float(row.attr("last_price")),
                    py::arg("last_quantity") = to_int(row.attr("last_quantity")),
                    py::arg("side") = row.attr("side"),
                    py::arg("transaction_cost") =
                        to_float(row.attr("transaction_cost"))));
            }
            return py::object(trades);
        });
}
