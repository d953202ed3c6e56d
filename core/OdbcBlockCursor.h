#pragma once

#include "DataAccess.h"

#include <cstdint>
#include <memory>
#include <vector>

/**
 * Reads a result whose columns all have a bounded size in blocks of rows: every column is bound (SQLBindCol) to a
 * column-wise array, and one SQLFetch fills a block of rows, which are then walked from the arrays. Values keep the
 * driver's own conversions of the row-by-row path: text and every exact or date type as wide text, byte strings as
 * binary, approximate numbers as float or double.
 *
 * The block grows from one row to the maximum while the driver answers quickly, and shrinks again when a fetch keeps
 * the caller waiting, so a server that sends rows slowly never holds the caller for a whole block.
 */
class OdbcBlockCursor
{
public:
    /** What the cursor needs to know of a column. */
    struct Shape
    {
        int sqlType = 0;
        std::uint64_t size = 0; ///< the column size SQLDescribeCol reports (characters, bytes or digits)
        FieldValue::Kind kind = FieldValue::Kind::Text;
        bool singlePrecision = false;
    };

    /** The largest declared length (characters or bytes) of a column read in blocks; longer ones go row by row. */
    static constexpr std::uint64_t MaxBoundLength = 8000;
    /** The most rows a block holds. */
    static constexpr int MaxRows = 256;
    /** The bound buffers of a block take at most about this many bytes (at least one row). */
    static constexpr std::size_t BudgetBytes = 4 * 1024 * 1024;

    /**
     * The bytes one value of the column takes in its bound array, or 0 when the column cannot be read in blocks: the
     * long types (max, text, ntext, image, xml), sql_variant, CLR types, anything unknown, and declared lengths of 0 or
     * above MaxBoundLength.
     */
    static std::size_t valueBytes(const Shape& shape);
    /** The C type a column of the shape is bound as: numbers for integers, bits and floats, else wide text or bytes. */
    static int bindType(const Shape& shape);
    /** The rows of the largest block for columns of these shapes (0 when one of them cannot be bound). */
    static int blockRows(const std::vector<Shape>& shapes);

    /**
     * Binds every column of the statement's current result. Returns nullptr when a column cannot be bound or the
     * driver refuses the block attributes; the statement is then left as it was, for reading row by row.
     */
    static std::unique_ptr<OdbcBlockCursor> bind(void* statement, const std::vector<Shape>& shapes);
    ~OdbcBlockCursor();

    OdbcBlockCursor(const OdbcBlockCursor&) = delete;
    OdbcBlockCursor& operator=(const OdbcBlockCursor&) = delete;

    /** Fetches the next block; returns the driver's return code (SQL_NO_DATA at the end). `rows()` tells the rows. */
    short fetch();
    /** Rows of the last block. */
    int rows() const { return m_fetched; }
    /** True when the driver marks the row as failed (SQL_ROW_ERROR). */
    bool rowFailed(int row) const;

    /**
     * Reads the value of a column in a row of the block into `out`, reusing the capacity of its text and bytes: no
     * heap work once they are large enough. Returns false when the driver cut the value to its buffer.
     */
    bool read(int column, int row, FieldValue& out) const;

    /** Unbinds the columns and sets the statement back to one row per fetch; the arrays stay readable. */
    void release() noexcept;

private:
    struct Column
    {
        Shape shape;
        short cType = 0;
        std::size_t bytes = 0; ///< one element of the array
        std::unique_ptr<char[]> data;
        std::unique_ptr<std::intptr_t[]> indicators;
    };

    OdbcBlockCursor(void* statement, const std::vector<Shape>& shapes);
    bool setBlockRows(int rows);

    void* m_statement = nullptr;
    std::vector<Column> m_columns;
    int m_capacity = 0; ///< rows of the arrays
    int m_blockRows = 1; ///< rows the next fetch asks for
    std::unique_ptr<unsigned short[]> m_status;
    std::uint64_t m_fetchedCount = 0; ///< SQL_ATTR_ROWS_FETCHED_PTR
    int m_fetched = 0;
    bool m_bound = false;
};
