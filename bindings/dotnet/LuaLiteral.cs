// LuaLiteral.cs - writes the script text that QelConnection.Call sends: the script as the
// body of a vararg function, called with each argument written as a Lua literal that no
// value can break out of.
using System;
using System.Collections;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Text;

namespace QelZmq
{
    /// <summary>Writes the script text that Call sends: the script as the body of a vararg
    /// function, called with its arguments written as Lua literals.</summary>
    internal static class LuaLiteral
    {
        // No newline after the prefix: the script's line numbers in Lua's messages stay
        // those of the script sent alone.
        private const string Prefix = "return (function(...) ";
        // Lua's parser stops near 200 levels anyway; the bound keeps a runaway argument
        // tree from overflowing this thread's stack first.
        private const int MaxDepth = 1000;
        // Strict: a lone surrogate cannot become UTF-8 and must not turn into '?'.
        internal static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

        /// <summary>The NUL-terminated call of <paramref name="script"/> (whose UTF-8 form
        /// is <paramref name="length"/> bytes) with <paramref name="args"/>; throws before
        /// anything is sent when an argument cannot be written. The array may run on past
        /// the NUL, which the library reads up to.</summary>
        internal static byte[] Call(string script, int length, object[] args)
        {
            // One buffer from the first byte to the NUL: the script is encoded straight
            // into it, and the stream's own array is what is sent.
            var text = new MemoryStream(Prefix.Length + length + 16 + 8 * args.Length);
            Ascii(text, Prefix);
            int at = (int)text.Length;
            text.SetLength(at + length);
            StrictUtf8.GetBytes(script, 0, script.Length, text.GetBuffer(), at);
            text.Position = at + length;
            Ascii(text, "\nend)(");
            var open = new List<object>();
            for (int i = 0; i < args.Length; i++)
            {
                if (i > 0)
                    Ascii(text, ", ");
                Value(text, args[i], open, "args[" + i + "]");
            }
            Ascii(text, ")");
            text.WriteByte(0);
            return text.GetBuffer();
        }

        private static void Value(MemoryStream text, object value, List<object> open, string where)
        {
            if (value == null || value is DBNull)
                Ascii(text, "nil");
            else if (value is bool)
                Ascii(text, (bool)value ? "true" : "false");
            else if (!Scalar(text, value, where))
                Container(text, value, open, where);
        }

        // Writes a number or a string; false when value is neither.
        private static bool Scalar(MemoryStream text, object value, string where)
        {
            if (value is string)
            {
                byte[] bytes;
                try
                {
                    bytes = StrictUtf8.GetBytes((string)value);
                }
                catch (EncoderFallbackException e)
                {
                    throw new ArgumentException(where + " is not valid UTF-16 (a lone surrogate)", "args", e);
                }
                Quoted(text, bytes);
            }
            else if (value is byte[])
                Quoted(text, (byte[])value);
            else if (value is sbyte || value is short || value is int || value is long)
                Integer(text, Convert.ToInt64(value, CultureInfo.InvariantCulture));
            else if (value is byte || value is ushort || value is uint || value is ulong)
            {
                ulong unsigned = Convert.ToUInt64(value, CultureInfo.InvariantCulture);
                if (unsigned > long.MaxValue)
                    throw new ArgumentOutOfRangeException("args", value,
                        where + " is above 2^63-1, the largest Lua integer");
                Integer(text, (long)unsigned);
            }
            else if (value is double || value is float)
                Float(text, Convert.ToDouble(value, CultureInfo.InvariantCulture));
            else if (value is decimal)
                Float(text, ExactDouble((decimal)value, where));
            else
                return false;
            return true;
        }

        private static void Container(MemoryStream text, object value, List<object> open, string where)
        {
            var dictionary = value as IDictionary;
            var list = value as IList;
            if (dictionary == null && (list == null || (value is Array && ((Array)value).Rank != 1)))
                throw new ArgumentException(string.Format(
                    "{0} is a {1}, which has no Lua literal (supported: null, bool, integers, double, "
                    + "float, decimal, string, byte[], arrays, IList, IDictionary)", where, value.GetType()), "args");
            Enter(value, open, where);
            Ascii(text, "{");
            if (dictionary != null)
                Entries(text, dictionary, open, where);
            else
                Elements(text, list, open, where);
            Ascii(text, "}");
            open.RemoveAt(open.Count - 1);
        }

        // open holds the containers being written, outermost first: meeting one of them
        // again is a cycle, which would never end.
        private static void Enter(object value, List<object> open, string where)
        {
            foreach (object outer in open)
            {
                if (ReferenceEquals(outer, value))
                    throw new ArgumentException(where + " contains itself", "args");
            }
            if (open.Count == MaxDepth)
                throw new ArgumentException(where + " nests deeper than " + MaxDepth + " levels", "args");
            open.Add(value);
        }

        private static void Entries(MemoryStream text, IDictionary dictionary, List<object> open, string where)
        {
            bool first = true;
            foreach (DictionaryEntry entry in dictionary)
            {
                if (!first)
                    Ascii(text, ", ");
                first = false;
                string at = where + "[" + entry.Key + "]";
                Key(text, entry.Key, at);
                Value(text, entry.Value, open, at);
            }
        }

        // Writes "[key]=" for a bool, number or string key; Lua has no nil or NaN key.
        private static void Key(MemoryStream text, object key, string at)
        {
            if (key is double && double.IsNaN((double)key) || key is float && float.IsNaN((float)key))
                throw new ArgumentException(at + ": NaN cannot be a table key", "args");
            Ascii(text, "[");
            if (key is bool)
                Ascii(text, (bool)key ? "true" : "false");
            else if (key == null || !Scalar(text, key, at))
                throw new ArgumentException(string.Format(
                    "{0}: a key must be a bool, a number or a string, not {1}", at,
                    key == null ? "null" : key.GetType().ToString()), "args");
            Ascii(text, "]=");
        }

        private static void Elements(MemoryStream text, IList list, List<object> open, string where)
        {
            for (int i = 0; i < list.Count; i++)
            {
                if (i > 0)
                    Ascii(text, ", ");
                Value(text, list[i], open, where + "[" + i + "]");
            }
        }

        private static void Integer(MemoryStream text, long value)
        {
            // -9223372036854775808 would read as minus a float: 2^63 is no Lua integer.
            Ascii(text, value == long.MinValue ? "(-9223372036854775807-1)"
                                               : value.ToString(CultureInfo.InvariantCulture));
        }

        // A hexadecimal float straight from the IEEE bits: Lua reads it back exactly, with
        // no decimal rounding either way.
        private static void Float(MemoryStream text, double value)
        {
            if (double.IsNaN(value))
            {
                Ascii(text, "(0/0)");
                return;
            }
            if (double.IsInfinity(value))
            {
                Ascii(text, value > 0 ? "(1/0)" : "(-1/0)");
                return;
            }
            long bits = BitConverter.DoubleToInt64Bits(value);
            int exponent = (int)((bits >> 52) & 0x7FF);
            long fraction = bits & 0xFFFFFFFFFFFFFL;
            string digits = fraction.ToString("x13", CultureInfo.InvariantCulture).TrimEnd('0');
            int power = exponent == 0 ? (fraction == 0 ? 0 : -1022) : exponent - 1023;
            string literal = string.Format(CultureInfo.InvariantCulture, "0x{0}{1}{2}p{3}{4}",
                exponent == 0 ? "0" : "1", digits.Length > 0 ? "." : "", digits,
                power < 0 ? "-" : "+", Math.Abs(power));
            Ascii(text, bits < 0 ? "(-" + literal + ")" : literal);
        }

        // A decimal goes as a float only when a double holds it exactly: m / 10^s is
        // (m / 5^s) / 2^s, so 5^s must divide m and the odd part of the quotient fit in
        // 53 bits.
        private static double ExactDouble(decimal value, string where)
        {
            int[] parts = decimal.GetBits(value);
            int scale = (parts[3] >> 16) & 0xFF;
            decimal quotient = new decimal(parts[0], parts[1], parts[2], false, 0);
            for (int i = 0; i < scale; i++)
            {
                if (quotient % 5 != 0)
                    throw new ArgumentException(where + " = " + value + " has no exact double", "args");
                quotient /= 5;
            }
            int twos = 0;
            while (quotient != 0 && quotient % 2 == 0)
            {
                quotient /= 2;
                twos++;
            }
            if (quotient >= 9007199254740992m) // 2^53
                throw new ArgumentException(where + " = " + value + " has no exact double", "args");
            double exact = (double)quotient * Math.Pow(2, twos - scale);
            return parts[3] < 0 ? -exact : exact;
        }

        // Printable ASCII other than " and \ as itself, every other byte as \ and exactly
        // three decimal digits, so a following digit cannot join the escape. Runs of plain
        // bytes go in with one Write; each escape is four bytes of a table made once.
        private static void Quoted(MemoryStream text, byte[] bytes)
        {
            text.WriteByte((byte)'"');
            int run = 0;
            for (int i = 0; i < bytes.Length; i++)
            {
                byte b = bytes[i];
                if (b >= 0x20 && b <= 0x7E && b != '"' && b != '\\')
                    continue;
                text.Write(bytes, run, i - run);
                text.Write(Escapes, b * 4, 4);
                run = i + 1;
            }
            text.Write(bytes, run, bytes.Length - run);
            text.WriteByte((byte)'"');
        }

        // "\000" to "\255", four bytes for each byte value.
        private static readonly byte[] Escapes = MakeEscapes();

        private static byte[] MakeEscapes()
        {
            var table = new byte[256 * 4];
            for (int b = 0; b < 256; b++)
            {
                table[b * 4] = (byte)'\\';
                table[b * 4 + 1] = (byte)('0' + b / 100);
                table[b * 4 + 2] = (byte)('0' + b / 10 % 10);
                table[b * 4 + 3] = (byte)('0' + b % 10);
            }
            return table;
        }

        // The text written is ASCII by construction; no encoder, no array.
        private static void Ascii(MemoryStream text, string ascii)
        {
            foreach (char c in ascii)
                text.WriteByte((byte)c);
        }
    }
}
