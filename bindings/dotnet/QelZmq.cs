// QelZmq.cs - C# binding of the QEL_ZMQ client library through P/Invoke: QelConnection
// owns a connection handle held in a SafeHandle, serialises the calls made on it (blocking
// or through ExecuteAsync) and copies each answer into a managed string before giving the
// library's buffer back with freeResult. Call passes arguments to a script as Lua literals
// (LuaLiteral), and CallJson decodes a JSON answer.
using System;
using System.Collections;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.ConstrainedExecution;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Runtime.Serialization.Json;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace QelZmq
{
    /// <summary>A QEL_ZMQ call failed: the library returned NULL or -1.</summary>
    /// <remarks>ZeroMQ's reason, if any, is on the console as the library printed it:
    /// connect failures on standard output, send and receive failures on standard
    /// error.</remarks>
    [Serializable]
    [NullableContext(1)]
    public class QelException : Exception
    {
        /// <summary>Creates an exception with a default message.</summary>
        public QelException() : base("a QEL_ZMQ call failed") { }

        /// <summary>Creates an exception with the given message.</summary>
        /// <param name="message">What failed.</param>
        public QelException([Nullable(2)] string message) : base(message) { }

        /// <summary>Creates an exception with the given message and cause.</summary>
        /// <param name="message">What failed.</param>
        /// <param name="innerException">The exception that led to this one.</param>
        public QelException([Nullable(2)] string message, [Nullable(2)] Exception innerException) : base(message, innerException) { }

        /// <summary>Restores a serialised exception.</summary>
        /// <param name="info">The serialised data.</param>
        /// <param name="context">Where the data comes from.</param>
        protected QelException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>
    /// A connection handle from createConnectionHandle. The runtime frees it exactly once,
    /// through Dispose or the critical finalizer, and never while a call that received it
    /// is still inside the library (the marshaller holds a reference for each call).
    /// </summary>
    internal sealed class QelHandle : SafeHandle
    {
        // Set when an exchange failed: its request may still be queued for a service that
        // is not there, and freeHandle would then wait (ZeroMQ's linger) to deliver it.
        private volatile bool abandoned;

        private QelHandle() : base(IntPtr.Zero, true) { }

        /// <summary>A new handle from createConnectionHandle, or an invalid one.</summary>
        internal static QelHandle Create()
        {
            QelHandle made = new QelHandle();
            // The object exists before the call and takes the handle in a finally block,
            // where no thread abort is delivered: nothing can come between the two and
            // leak the handle. (Mono's marshaller, returning a SafeHandle itself, can.)
            try
            {
            }
            finally
            {
                made.SetHandle(NativeMethods.createConnectionHandle());
            }
            return made;
        }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        internal void Abandon()
        {
            abandoned = true;
        }

        // Runs call with the raw handle, which cannot be released before call returns:
        // the reference is taken and given back in finally blocks, where no thread abort
        // is delivered.
        internal T Use<T>(Func<IntPtr, T> call)
        {
            bool added = false;
            try
            {
                DangerousAddRef(ref added);
                return call(handle);
            }
            finally
            {
                if (added)
                    DangerousRelease();
            }
        }

        [ReliabilityContract(Consistency.WillNotCorruptState, Cer.Success)]
        protected override bool ReleaseHandle()
        {
            IntPtr freed = handle;
            if (abandoned)
            {
                // A background thread does the possibly endless wait, so neither the
                // caller, the finalizer thread nor process exit is held up by it.
                Thread releaser = new Thread(() => NativeMethods.freeHandle(freed));
                releaser.IsBackground = true;
                releaser.Name = "QelZmq-freeHandle";
                releaser.Start();
            }
            else
            {
                NativeMethods.freeHandle(freed);
            }
            return true;
        }
    }

    /// <summary>The five functions of qel_zmq.h, exactly as the DLL exports them.</summary>
    internal static class NativeMethods
    {
        // "QEL_ZMQ" is QEL_ZMQ.dll on Windows. Mono on Linux finds libqel_zmq.so.1 through
        // the dllmap in QelZmq.dll.config; .NET (Core) through NativeLibrary or a file of
        // that name. The DLL is 64-bit only: on x64 there is one calling convention, so
        // Cdecl changes nothing there; it is spelled out because it is what the header's
        // functions are, and it would be the right one for a 32-bit build too.
        private const string Library = "QEL_ZMQ";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr createConnectionHandle();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void freeHandle(IntPtr iHandle);

        // Text goes in as NUL-terminated byte arrays we encoded ourselves, not as string:
        // the marshaller would otherwise pick the encoding (the ANSI code page on Windows).
        // The handle goes in as IntPtr under a reference QelHandle.Use takes: Mono's
        // marshaller can lose the reference it takes for a SafeHandle argument when a
        // thread abort arrives as the call returns, and the handle would then never be
        // freed.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int connectToQelLuaService(byte[] iIP, int iPort, IntPtr ipHandle);

        // out IntPtr, never out string: an out string would make the marshaller copy the
        // answer and then release the library's buffer with CoTaskMemFree, which is not
        // the allocator that made it. Only freeResult may release it.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int executeLuaScriptQel(out IntPtr opResult, byte[] iScript, IntPtr ipHandle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void freeResult(IntPtr iResult);
    }

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
            foreach (object outer in open)
            {
                if (ReferenceEquals(outer, value))
                    throw new ArgumentException(where + " contains itself", "args");
            }
            if (open.Count == MaxDepth)
                throw new ArgumentException(where + " nests deeper than " + MaxDepth + " levels", "args");
            open.Add(value);
            Ascii(text, "{");
            bool first = true;
            if (dictionary != null)
            {
                foreach (DictionaryEntry entry in dictionary)
                {
                    if (!first)
                        Ascii(text, ", ");
                    first = false;
                    string at = where + "[" + entry.Key + "]";
                    object key = entry.Key;
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
                    Value(text, entry.Value, open, at);
                }
            }
            else
            {
                for (int i = 0; i < list.Count; i++)
                {
                    if (!first)
                        Ascii(text, ", ");
                    first = false;
                    Value(text, list[i], open, where + "[" + i + "]");
                }
            }
            Ascii(text, "}");
            open.RemoveAt(open.Count - 1);
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

    /// <summary>
    /// One connection to a Qel Lua script service: a QEL_ZMQ handle, connected at
    /// construction.
    /// </summary>
    /// <remarks>
    /// <para>Thread safety: every member may be called from any thread. Calls on one
    /// connection never overlap (the library forbids it on one handle): the blocking calls
    /// wait for the call before them, and the asynchronous ones run one after the other in
    /// the order they were made. Different connections share nothing and run their
    /// exchanges at the same time.</para>
    /// <para>Calls block with no time-out: against a service that never answers, Execute
    /// waits forever and the task of ExecuteAsync never completes unless its cancellation
    /// token is cancelled, which gives the connection up when the call's request had gone
    /// out (see <see cref="ExecuteAsync(string, CancellationToken)"/>).</para>
    /// <para>Each connection costs two threads inside ZeroMQ while it lives. Dispose frees
    /// it; a connection never disposed is freed by its handle's finalizer.</para>
    /// </remarks>
    [NullableContext(1)]
    public sealed class QelConnection : IDisposable
    {
        private readonly object queueSync = new object();
        // One exchange at a time. A semaphore, not a lock, so that the callers waiting
        // behind a call that was cancelled and never returns can be let go.
        private readonly SemaphoreSlim gate = new SemaphoreSlim(1, 1);
        // Set, then cancelled, when a call cancelled inside the library gives the
        // connection up.
        private volatile bool givingUp;
        private readonly CancellationTokenSource givenUp = new CancellationTokenSource();
        private readonly QelHandle handle;
        // Mono's SafeHandle reads as open while a call still holds it, even after Dispose.
        private volatile bool disposed;
        // The last asynchronous call queued; the next one runs after it.
        private Task queueTail = Task.FromResult(0);

        /// <summary>Creates a handle and connects it to tcp://host:port.</summary>
        /// <param name="host">The service's host name or address, sent as UTF-8.</param>
        /// <param name="port">The service's TCP port.</param>
        /// <remarks>Succeeds as soon as ZeroMQ accepts the endpoint, whether or not a
        /// service listens there yet.</remarks>
        /// <exception cref="ArgumentNullException"><paramref name="host"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="host"/> contains a NUL
        /// character.</exception>
        /// <exception cref="QelException">No handle could be made, or ZeroMQ refused the
        /// endpoint.</exception>
        public QelConnection(string host, int port)
        {
            byte[] hostBytes = ToCString(host, "host");
            QelHandle made = QelHandle.Create();
            if (made.IsInvalid)
            {
                made.Dispose();
                throw new QelException("could not create a connection handle (out of memory or file descriptors)");
            }
            if (made.Use(raw => NativeMethods.connectToQelLuaService(hostBytes, port, raw)) != 0)
            {
                made.Dispose();
                throw new QelException(string.Format(
                    "could not connect to {0}:{1}: ZeroMQ refused the endpoint (its reason was written to standard output)",
                    host, port));
            }
            handle = made;
        }

        /// <summary>Runs a Lua script (sent as UTF-8) and returns the answer decoded as
        /// UTF-8; blocks until the answer arrives.</summary>
        /// <param name="script">The Lua script.</param>
        /// <returns>The service's answer; a Lua error is an answer too ("error: ...").</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        /// <exception cref="QelException">The library failed to send or receive (after a
        /// failure whose request went out the connection cannot send again), or the
        /// connection was given up by a cancelled call.</exception>
        /// <exception cref="ObjectDisposedException">The connection was disposed.</exception>
        public string Execute(string script)
        {
            return Encoding.UTF8.GetString(Exchange(ToCString(script, "script")));
        }

        /// <summary>Sends the script's bytes unchanged and returns the answer's bytes
        /// undecoded, for services that expect another encoding; blocks until the answer
        /// arrives.</summary>
        /// <param name="script">The script's bytes, without a terminating NUL.</param>
        /// <returns>The answer's bytes, up to its first NUL byte.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL byte.</exception>
        /// <exception cref="QelException">The library failed to send or receive, or the
        /// connection was given up.</exception>
        /// <exception cref="ObjectDisposedException">The connection was disposed.</exception>
        public byte[] ExecuteBytes(byte[] script)
        {
            return Exchange(ToCString(script));
        }

        /// <summary>Runs a Lua script like <see cref="Execute"/>, on a thread-pool thread
        /// rather than the caller's.</summary>
        /// <param name="script">The Lua script.</param>
        /// <returns>A task whose result is the answer. It fails with the exceptions of
        /// <see cref="Execute"/>; argument errors are thrown at once instead.</returns>
        /// <remarks>Calls on one connection run one at a time, in the order they were
        /// made, each after the blocking calls already waiting. A call waiting for a
        /// service that never answers keeps its pool thread, and the calls queued behind
        /// it, waiting.</remarks>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        public Task<string> ExecuteAsync(string script)
        {
            return ExecuteAsync(script, CancellationToken.None);
        }

        /// <summary>Runs a Lua script like <see cref="Execute"/> on a thread-pool thread;
        /// cancelling the token ends the wait, and gives the connection up if the request
        /// had gone out.</summary>
        /// <param name="script">The Lua script.</param>
        /// <param name="cancellationToken">Cancels the call.</param>
        /// <returns>A task whose result is the answer; cancelled when the token is.</returns>
        /// <remarks>
        /// <para>Cancelling completes the task as cancelled at once. A call still waiting
        /// for its turn is then skipped and never sends: the calls before and after it go
        /// on as if it had not been made. The library cannot take back a request it was
        /// given, so cancelling the call whose request went out leaves the connection
        /// unusable: every later call on it, and every call still queued, fails with
        /// <see cref="QelException"/>. Make a new connection. A token already cancelled when
        /// the call is made sends nothing and changes nothing.</para>
        /// <para>The call that was under way may stay inside the library for ever (a service
        /// that never answers). Its handle is freed only when it returns, never under it:
        /// Dispose returns at once, and if the call never returns, the handle and its two
        /// ZeroMQ threads are leaked for the life of the process, as is the pool thread
        /// that waits in the call.</para>
        /// </remarks>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        public Task<string> ExecuteAsync(string script, CancellationToken cancellationToken)
        {
            return Enqueue(ToCString(script, "script"), Encoding.UTF8.GetString, cancellationToken);
        }

        /// <summary>Runs a Lua script with arguments, which it receives as <c>...</c>;
        /// blocks until the answer arrives.</summary>
        /// <param name="script">The Lua script: the body of a function called with the
        /// arguments.</param>
        /// <param name="args">The arguments, each written as a Lua literal: null (nil),
        /// bool, integers up to 2^63-1, double and float (exactly), decimal (when a double
        /// holds it exactly), string (UTF-8) and byte[] as strings, arrays and IList as
        /// sequences, IDictionary as tables.</param>
        /// <returns>The service's answer, decoded as UTF-8.</returns>
        /// <remarks>No argument can change the script's code: each one is a literal, and
        /// the script's line numbers in Lua's messages are those of the script alone. Lua's
        /// parser still bounds an argument tree (some 200 levels of nesting); beyond it the
        /// answer is the parser's error.</remarks>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> or
        /// <paramref name="args"/> is null (pass <c>new object[] { null }</c> for one
        /// nil).</exception>
        /// <exception cref="ArgumentException">An argument has no Lua literal (another
        /// type, a container holding itself, a null or NaN key, a string with a lone
        /// surrogate), or the script contains a NUL character. Nothing was sent.</exception>
        /// <exception cref="ArgumentOutOfRangeException">An unsigned integer above
        /// 2^63-1. Nothing was sent.</exception>
        /// <exception cref="QelException">As for <see cref="Execute"/>.</exception>
        /// <exception cref="ObjectDisposedException">The connection was disposed.</exception>
        public string Call(string script, [Nullable(new byte[] { 1, 2 })] params object[] args)
        {
            return Encoding.UTF8.GetString(Exchange(CallText(script, args)));
        }

        /// <summary>Runs <see cref="Call"/> on a thread-pool thread.</summary>
        /// <param name="script">The Lua script.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <returns>A task whose result is the answer.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> or
        /// <paramref name="args"/> is null.</exception>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>; thrown at
        /// once.</exception>
        public Task<string> CallAsync(string script, [Nullable(new byte[] { 1, 2 })] object[] args)
        {
            return CallAsync(script, args, CancellationToken.None);
        }

        /// <summary>Runs <see cref="Call"/> on a thread-pool thread; cancelling works as for
        /// <see cref="ExecuteAsync(string, CancellationToken)"/>.</summary>
        /// <param name="script">The Lua script.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <param name="cancellationToken">Cancels the call.</param>
        /// <returns>A task whose result is the answer.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> or
        /// <paramref name="args"/> is null.</exception>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>; thrown at
        /// once.</exception>
        public Task<string> CallAsync(string script, [Nullable(new byte[] { 1, 2 })] object[] args,
                                      CancellationToken cancellationToken)
        {
            return Enqueue(CallText(script, args), Encoding.UTF8.GetString, cancellationToken);
        }

        /// <summary>Runs <see cref="Call"/> and decodes its answer, a JSON text the script
        /// returned, with DataContractJsonSerializer (JSON objects as dictionaries
        /// too).</summary>
        /// <typeparam name="T">What the JSON text becomes.</typeparam>
        /// <param name="script">The Lua script; it returns one JSON text.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <returns>The decoded answer; the default of T for the JSON text null.</returns>
        /// <exception cref="QelException">The answer is a Lua error (its text is the
        /// message), or as for <see cref="Execute"/>.</exception>
        /// <exception cref="SerializationException">The answer is no JSON text of
        /// T.</exception>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>.</exception>
        [return: Nullable(2)]
        public T CallJson<[Nullable(2)] T>(string script, [Nullable(new byte[] { 1, 2 })] params object[] args)
        {
            return FromJson<T>(Exchange(CallText(script, args)));
        }

        /// <summary>Runs <see cref="CallJson{T}"/> on a thread-pool thread; cancelling
        /// works as for <see cref="ExecuteAsync(string, CancellationToken)"/>.</summary>
        /// <typeparam name="T">What the JSON text becomes.</typeparam>
        /// <param name="script">The Lua script; it returns one JSON text.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <param name="cancellationToken">Cancels the call.</param>
        /// <returns>A task whose result is the decoded answer.</returns>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>; thrown at
        /// once.</exception>
        [return: Nullable(new byte[] { 1, 2 })]
        public Task<T> CallJsonAsync<[Nullable(2)] T>(string script, [Nullable(new byte[] { 1, 2 })] object[] args,
                                                       CancellationToken cancellationToken)
        {
            return Enqueue(CallText(script, args), FromJson<T>, cancellationToken);
        }

        /// <summary>Frees the handle. Returns at once and may be called more than once;
        /// a call still inside the library keeps the handle until it returns, and it is
        /// freed then (never, if that call never returns). Later calls throw
        /// ObjectDisposedException.</summary>
        public void Dispose()
        {
            disposed = true;
            handle.Dispose();
        }

        // Where an asynchronous call stands. It leaves Queued exactly once, by one
        // compare-and-swap: to Started when its request is handed to the library, or to
        // Cancelled when its token or the giving up of the connection lets it go first.
        // Only a Started call can leave a request the socket still waits on.
        private const int Queued = 0, Started = 1, Cancelled = 2, Done = 3;

        private sealed class Turn
        {
            internal int State = Queued;
        }

        private Task<T> Enqueue<T>(byte[] request, Func<byte[], T> decode, CancellationToken cancellationToken)
        {
            var promise = new TaskCompletionSource<T>();
            if (cancellationToken.IsCancellationRequested)
            {
                promise.SetCanceled();
                return promise.Task;
            }
            var turn = new Turn();
            lock (queueSync)
            {
                queueTail = queueTail.ContinueWith(previous =>
                {
                    // Let go before its turn: nothing is sent.
                    if (Volatile.Read(ref turn.State) != Queued)
                        return;
                    byte[] answer;
                    try
                    {
                        answer = Exchange(request, turn, cancellationToken);
                    }
                    catch (Exception e)
                    {
                        // A call given up while in the library was cancelled already; the
                        // failure of its abandoned exchange is nobody's to see.
                        if (Interlocked.Exchange(ref turn.State, Done) != Cancelled)
                            promise.TrySetException(e);
                        return;
                    }
                    if (answer == null)
                    {
                        // Its token went off while it waited for a blocking call: the
                        // callback may not have run yet, so settle it here too.
                        if (Interlocked.CompareExchange(ref turn.State, Cancelled, Queued) == Queued)
                            promise.TrySetCanceled();
                        return;
                    }
                    if (Interlocked.Exchange(ref turn.State, Done) == Cancelled)
                        return;
                    try
                    {
                        promise.TrySetResult(decode(answer));
                    }
                    catch (Exception e)
                    {
                        promise.TrySetException(e);
                    }
                }, CancellationToken.None, TaskContinuationOptions.DenyChildAttach, TaskScheduler.Default);
            }
            var registrations = new List<CancellationTokenRegistration>(2);
            if (cancellationToken.CanBeCanceled)
            {
                registrations.Add(cancellationToken.Register(() =>
                {
                    // Not sent yet: this call alone ends, and is skipped when its turn comes.
                    if (Interlocked.CompareExchange(ref turn.State, Cancelled, Queued) == Queued)
                        promise.TrySetCanceled();
                    // Its request is in the library, which cannot take it back.
                    else if (Interlocked.CompareExchange(ref turn.State, Cancelled, Started) == Started)
                        GiveUp(promise);
                }));
            }
            // A call queued behind one that never returns would never get its turn. The
            // call in the library when the connection is given up is the cancelled one.
            registrations.Add(givenUp.Token.Register(() =>
            {
                if (Interlocked.CompareExchange(ref turn.State, Cancelled, Queued) == Queued)
                    promise.TrySetException(GivenUpException());
            }));
            promise.Task.ContinueWith(done =>
            {
                foreach (CancellationTokenRegistration registration in registrations)
                    registration.Dispose();
            }, TaskContinuationOptions.ExecuteSynchronously);
            return promise.Task;
        }

        private void GiveUp<T>(TaskCompletionSource<T> cancelled)
        {
            // Set before the task completes: its continuations may run right here, inline,
            // and a blocking call they make must fail rather than wait on the gate for ever.
            givingUp = true;
            // Its request may be queued for a service that is not there: freeHandle would
            // wait (ZeroMQ's linger) to deliver it.
            handle.Abandon();
            cancelled.TrySetCanceled();
            givenUp.Cancel();
        }

        private static QelException GivenUpException()
        {
            return new QelException(
                "this connection was given up when a call on it was cancelled; make a new QelConnection");
        }

        private byte[] Exchange(byte[] terminatedScript)
        {
            return Exchange(terminatedScript, null, CancellationToken.None);
        }

        // An asynchronous call passes its turn and token: it is marked Started only once it
        // holds the gate, just before the library gets its request, and it returns null,
        // having sent nothing, when it was let go before that.
        private byte[] Exchange(byte[] terminatedScript, Turn turn, CancellationToken cancellationToken)
        {
            if (disposed || handle.IsClosed)
                throw new ObjectDisposedException("QelConnection");
            if (givingUp)
                throw GivenUpException();
            // The gate is held by a blocking call here, never by an earlier asynchronous
            // one (they are chained); a cancelled call need not wait for it.
            CancellationTokenSource either = cancellationToken.CanBeCanceled
                ? CancellationTokenSource.CreateLinkedTokenSource(givenUp.Token, cancellationToken) : null;
            try
            {
                gate.Wait(either != null ? either.Token : givenUp.Token);
            }
            catch (OperationCanceledException)
            {
                if (givenUp.IsCancellationRequested)
                    throw GivenUpException();
                return null;
            }
            finally
            {
                if (either != null)
                    either.Dispose();
            }
            try
            {
                if (disposed || handle.IsClosed)
                    throw new ObjectDisposedException("QelConnection");
                if (givingUp)
                    throw GivenUpException();
                if (turn != null && Interlocked.CompareExchange(ref turn.State, Started, Queued) != Queued)
                    return null;
                IntPtr result = IntPtr.Zero;
                int status = -1;
                try
                {
                    status = handle.Use(raw => NativeMethods.executeLuaScriptQel(out result, terminatedScript, raw));
                    if (status != 0)
                    {
                        handle.Abandon();
                        throw new QelException(
                            "the script could not be run: ZeroMQ failed to send or receive (its reason was written "
                            + "to standard error); make a new QelConnection if the request had gone out");
                    }
                    return CopyCString(result);
                }
                finally
                {
                    // The buffer is ours only after a successful call; on -1 the library
                    // left the slot untouched, so there is nothing to give back.
                    if (status == 0)
                        NativeMethods.freeResult(result);
                }
            }
            finally
            {
                gate.Release();
            }
        }

        private static byte[] CallText(string script, object[] args)
        {
            CheckCString(script, "script");
            int length = LuaLiteral.StrictUtf8.GetByteCount(script);
            if (args == null)
                throw new ArgumentNullException("args", "args is null; pass new object[] { null } for one nil argument");
            return LuaLiteral.Call(script, length, args);
        }

        private static T FromJson<T>(byte[] answer)
        {
            // No JSON text starts so: the script failed, and its message is the answer.
            const string error = "error: ";
            int same = 0;
            while (same < error.Length && same < answer.Length && answer[same] == error[same])
                same++;
            if (same == error.Length)
                throw new QelException(Encoding.UTF8.GetString(answer));
            var settings = new DataContractJsonSerializerSettings { UseSimpleDictionaryFormat = true };
            using (var json = new MemoryStream(answer))
                return (T)new DataContractJsonSerializer(typeof(T), settings).ReadObject(json);
        }

        private static byte[] ToCString(string text, string what)
        {
            CheckCString(text, what);
            // Encoded straight into the terminated array; the last byte stays 0.
            byte[] terminated = new byte[LuaLiteral.StrictUtf8.GetByteCount(text) + 1];
            LuaLiteral.StrictUtf8.GetBytes(text, 0, text.Length, terminated, 0);
            return terminated;
        }

        private static void CheckCString(string text, string what)
        {
            if (text == null)
                throw new ArgumentNullException(what);
            int nul = text.IndexOf('\0');
            if (nul >= 0)
                // The C side takes NUL-terminated text and would silently send less.
                throw new ArgumentException(NulMessage(what, nul), what);
        }

        private static byte[] ToCString(byte[] script)
        {
            if (script == null)
                throw new ArgumentNullException("script");
            int nul = Array.IndexOf(script, (byte)0);
            if (nul >= 0)
                throw new ArgumentException(NulMessage("script", nul), "script");
            byte[] terminated = new byte[script.Length + 1];
            Buffer.BlockCopy(script, 0, terminated, 0, script.Length);
            return terminated;
        }

        private static string NulMessage(string what, int offset)
        {
            return string.Format("{0} contains a NUL character at offset {1}", what, offset);
        }

        private static byte[] CopyCString(IntPtr text)
        {
            // Only the terminator tells the length; reading byte by byte never touches
            // memory past it. (Marshal.PtrToStringUTF8 is missing from .NET Framework.)
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0)
                length++;
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return bytes;
        }
    }
}

#if __MonoCS__
// mcs cannot parse C# 8's "string?", so the annotations a C# 8 compiler writes for it are
// written here by hand, with the two attribute types it would define in the assembly. A
// compiler reading the assembly recognises them by name. 1 is "not null", 2 "may be null";
// an array of bytes annotates a type and then its element or type arguments in order.
namespace System.Runtime.CompilerServices
{
    [AttributeUsage(AttributeTargets.Class | AttributeTargets.Event | AttributeTargets.Field
                    | AttributeTargets.GenericParameter | AttributeTargets.Parameter
                    | AttributeTargets.Property | AttributeTargets.ReturnValue, Inherited = false)]
    internal sealed class NullableAttribute : Attribute
    {
        public readonly byte[] NullableFlags;

        public NullableAttribute(byte flag)
        {
            NullableFlags = new[] { flag };
        }

        public NullableAttribute(byte[] flags)
        {
            NullableFlags = flags;
        }
    }

    [AttributeUsage(AttributeTargets.Class | AttributeTargets.Delegate | AttributeTargets.Interface
                    | AttributeTargets.Method | AttributeTargets.Struct, Inherited = false)]
    internal sealed class NullableContextAttribute : Attribute
    {
        public readonly byte Flag;

        public NullableContextAttribute(byte flag)
        {
            Flag = flag;
        }
    }
}
#else
// Roslyn reserves the two names above for itself (CS8335), so compiled from source by it
// the annotations land on these stand-ins, which nothing reads: the API is then
// nullable-oblivious, as any file without "#nullable enable" is.
namespace QelZmq
{
    [AttributeUsage(AttributeTargets.All, Inherited = false)]
    internal sealed class NullableAttribute : Attribute
    {
        public NullableAttribute(byte flag) { }

        public NullableAttribute(byte[] flags) { }
    }

    [AttributeUsage(AttributeTargets.All, Inherited = false)]
    internal sealed class NullableContextAttribute : Attribute
    {
        public NullableContextAttribute(byte flag) { }
    }
}
#endif
