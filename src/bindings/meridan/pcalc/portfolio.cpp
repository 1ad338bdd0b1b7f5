// meridan.pcalc.portfolio: the book of one portfolio replayed day by day (cash,
// positions, dividend income).
//
// The book's arithmetic runs on the caller's own number objects, so results keep the
// types the caller's values produce (ints stay ints, a Decimal stays a Decimal).
// Every operation is all-or-nothing: it works out the new state first and changes
// the book only when every step has succeeded.
#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/pyclass.hpp"
#include "common/pyops.hpp"

namespace py = pybind11;
using meridan::bind::Signature;
namespace mb = meridan::bind;

namespace {

// The (key, value) pairs of `mapping.items()`, each checked to be a pair.
std::vector<std::pair<py::object, py::object>> item_pairs(py::handle mapping) {
    std::vector<std::pair<py::object, py::object>> pairs;
    for (py::handle item : mapping.attr("items")()) {
        py::object seq = py::reinterpret_steal<py::object>(
            PySequence_Fast(item.ptr(), "cannot unpack non-iterable object"));
        if (!seq) throw py::error_already_set();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (n != 2) {
            throw py::value_error(
                "expected pairs (order_book_id, value) from items(), got " +
                py::repr(item).cast<std::string>());
        }
        pairs.emplace_back(
            py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq.ptr(), 0)),
            py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq.ptr(), 1)));
    }
    return pairs;
}

// The attributes of a position that the book may change, saved so that a failed
// update can put them back.
struct SavedPosition {
    py::object position;
    std::vector<std::pair<const char*, py::object>> attributes;

    explicit SavedPosition(py::object pos) : position(std::move(pos)) {
        for (const char* name : {"quantity", "avg_price"}) {
            if (py::hasattr(position, name))
                attributes.emplace_back(name, position.attr(name));
        }
    }
    void restore() const {
        for (const auto& [name, value] : attributes) py::setattr(position, name, value);
    }
};

constexpr const char* kPositionsDoc =
    "Positions of a book by order book id.\n\n"
    "A dict whose missing keys read as a new flat Position that is not stored, so\n"
    "looking up an instrument never adds it to the book.";

constexpr const char* kPortfolioDoc =
    "The book of one portfolio: cash, one Position per instrument and the dividend\n"
    "income received.\n\n"
    "Portfolio(cash=100000.0, positions=None) opens a book with `cash` (currency) and\n"
    "`positions`, a mapping from order book id to a number of shares. Trades, splits\n"
    "and dividends are applied in the caller's order; each operation either applies\n"
    "completely or, when it raises, leaves the book exactly as it was.";

}  // namespace

PYBIND11_MODULE(portfolio, m, py::mod_gil_not_used()) {
    m.doc() = "The book of a portfolio replayed from its trades, splits and dividends.";
    m.attr("Position") = py::module_::import("meridan.pcalc.position").attr("Position");

    py::object dict_type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyDict_Type));
    py::object positions_cls = meridan::bind::make_class(
        m, "Positions", py::make_tuple(dict_type), kPositionsDoc);
    meridan::bind::def_method(
        positions_cls, {"__missing__", {"self", "key"}, {}},
        "A new flat Position(key) for an instrument not in the book; not stored.",
        [m](meridan::bind::Args a) {
            return meridan::bind::global(m, "Position")(a[1]);
        });

    py::object portfolio_cls =
        meridan::bind::make_class(m, "Portfolio", py::tuple(), kPortfolioDoc,
                                  "Portfolio(cash=100000.0, positions=None)");

    meridan::bind::def_method(
        portfolio_cls,
        {"__init__", {"self", "cash", "positions"}, {py::float_(100000.0), py::none()}},
        "Opens a book with `cash` and the share quantities of `positions`.",
        [m, positions_cls](meridan::bind::Args a) {
            const py::object& self = a[0];
            py::object book = positions_cls();
            if (!a[2].is_none()) {
                py::object position_cls = meridan::bind::global(m, "Position");
                for (auto& [oid, quantity] : item_pairs(a[2])) {
                    book[oid] = position_cls(oid, quantity);
                }
            }
            py::setattr(self, "_cash", a[1]);
            py::setattr(self, "_positions", book);
            py::setattr(self, "_dividends", py::int_(0));
            return py::none();
        });

    meridan::bind::def_method(
        portfolio_cls, {"holdings", {"self"}, {}},
        "Order book ids whose quantity is not 0, in the order they entered the book.",
        [](meridan::bind::Args a) {
            py::list held;
            py::int_ zero(0);
            for (auto& [oid, position] : item_pairs(a[0].attr("_positions"))) {
                if (mb::not_equal(position.attr("quantity"), zero)) held.append(oid);
            }
            return py::object(held);
        });

    meridan::bind::def_method(
        portfolio_cls, {"apply_trade", {"self", "trade"}, {}},
        "Books an executed trade: cash moves by price times quantity, plus the\n"
        "transaction cost on a buy or minus it on a sale (side \"BUY\" buys, any "
        "other\n"
        "side sells), and the instrument's position is updated and kept in the book.",
        [](meridan::bind::Args a) {
            const py::object& self = a[0];
            const py::object& trade = a[1];
            py::object book = self.attr("_positions");
            py::object oid = trade.attr("order_book_id");
            py::object position = book[oid];
            const bool buy = mb::equal(trade.attr("side"), "BUY");
            py::object gross =
                mb::mul(trade.attr("last_price"), trade.attr("last_quantity"));
            py::object cost = trade.attr("transaction_cost");
            py::object cash = self.attr("_cash");
            py::object new_cash = buy ? mb::sub(cash, mb::add(gross, cost))
                                      : mb::add(cash, mb::sub(gross, cost));

            SavedPosition saved(position);
            try {
                position.attr("apply_trade")(trade);
            } catch (py::error_already_set&) {
                saved.restore();
                throw;
            }
            py::setattr(self, "_cash", new_cash);
            book[oid] = position;
            return py::none();
        });

    meridan::bind::def_method(
        portfolio_cls, {"get_position", {"self", "key"}, {}},
        "The Position of order book id `key`; a new flat Position, not stored, for an\n"
        "instrument that is not in the book.",
        [](meridan::bind::Args a) {
            return py::object(a[0].attr("_positions")[a[1]]);
        });

    meridan::bind::def_method(
        portfolio_cls, {"apply_split", {"self", "splits"}, {}},
        "Applies share splits: `splits` maps order book id to new shares per old "
        "share.\n"
        "Each held position's quantity is multiplied and its average price divided by\n"
        "the coefficient; instruments not in the book are skipped.",
        [](meridan::bind::Args a) {
            py::object book = a[0].attr("_positions");
            // Work out every new (quantity, avg_price) first; a position split twice in
            // one call is split on top of its first result.
            struct Planned {
                py::object position;
                py::object quantity;
                py::object avg_price;
            };
            std::vector<Planned> plan;
            for (auto& [oid, coefficient] : item_pairs(a[1])) {
                if (!mb::contains(book, oid)) continue;
                py::object position = book[oid];
                Planned* current = nullptr;
                for (auto& p : plan) {
                    if (p.position.is(position)) current = &p;
                }
                if (!current) {
                    plan.push_back({position, position.attr("quantity"),
                                    position.attr("avg_price")});
                    current = &plan.back();
                }
                py::object quantity = mb::mul(current->quantity, coefficient);
                py::object avg_price = mb::true_div(current->avg_price, coefficient);
                current->quantity = quantity;
                current->avg_price = avg_price;
            }
            std::vector<SavedPosition> saved;
            try {
                for (auto& p : plan) {
                    saved.emplace_back(p.position);
                    py::setattr(p.position, "quantity", p.quantity);
                    py::setattr(p.position, "avg_price", p.avg_price);
                }
            } catch (py::error_already_set&) {
                for (auto& s : saved) s.restore();
                throw;
            }
            return py::none();
        });

    meridan::bind::def_method(
        portfolio_cls, {"apply_dividend", {"self", "dividends"}, {}},
        "Books cash dividends: `dividends` maps order book id to cash per share. Each\n"
        "instrument in the book adds quantity times dividend to the dividend income\n"
        "(never to cash); instruments not in the book are skipped.",
        [](meridan::bind::Args a) {
            py::object book = a[0].attr("_positions");
            py::object total = a[0].attr("_dividends");
            for (auto& [oid, per_share] : item_pairs(a[1])) {
                if (!mb::contains(book, oid)) continue;
                total = mb::add(total, mb::mul(book[oid].attr("quantity"), per_share));
            }
            py::setattr(a[0], "_dividends", total);
            return py::none();
        });
}
