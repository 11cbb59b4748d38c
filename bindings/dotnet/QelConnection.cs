// QelConnection.cs - the connection of the C# binding: one QEL_ZMQ handle, connected at
// construction; its blocking calls take turns at one gate and copy each answer out of the
// library's buffer before giving it back (the asynchronous ones: QelConnection.Async.cs).
using System;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Runtime.Serialization.Json;
using System.Text;
using System.Threading;

namespace QelZmq
{
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
    public sealed partial class QelConnection : IDisposable
    {
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

        /// <summary>Frees the handle. Returns at once and may be called more than once;
        /// a call still inside the library keeps the handle until it returns, and it is
        /// freed then (never, if that call never returns). Later calls throw
        /// ObjectDisposedException.</summary>
        public void Dispose()
        {
            disposed = true;
            handle.Dispose();
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
            CheckUsable();
            if (!EnterGate(cancellationToken))
                return null;
            try
            {
                CheckUsable();
                if (turn != null && Interlocked.CompareExchange(ref turn.State, Started, Queued) != Queued)
                    return null;
                return Run(terminatedScript);
            }
            finally
            {
                gate.Release();
            }
        }

        // Checked before and again after the wait for the gate: a freed handle, or one whose
        // socket still waits on an abandoned request, must never reach the library.
        private void CheckUsable()
        {
            if (disposed || handle.IsClosed)
                throw new ObjectDisposedException("QelConnection");
            if (givingUp)
                throw GivenUpException();
        }

        // Takes the gate; false when the call's token let it go first.
        private bool EnterGate(CancellationToken cancellationToken)
        {
            // The gate is held by a blocking call here, never by an earlier asynchronous
            // one (they are chained); a cancelled call need not wait for it.
            CancellationTokenSource either = cancellationToken.CanBeCanceled
                ? CancellationTokenSource.CreateLinkedTokenSource(givenUp.Token, cancellationToken) : null;
            try
            {
                gate.Wait(either != null ? either.Token : givenUp.Token);
                return true;
            }
            catch (OperationCanceledException)
            {
                if (givenUp.IsCancellationRequested)
                    throw GivenUpException();
                return false;
            }
            finally
            {
                if (either != null)
                    either.Dispose();
            }
        }

        // The library call itself, under the gate: the answer is copied out before its
        // buffer goes back.
        private byte[] Run(byte[] terminatedScript)
        {
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
